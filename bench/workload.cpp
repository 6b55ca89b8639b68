#include "workload.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

[[noreturn]] void usage(const char* program, const char* problem)
{
    std::fprintf(stderr,
                 "%s: %s\nusage: %s OPERATION --port P [--vhost V] [--count N] [--size BYTES] [--window N] "
                 "[--timeout SECONDS]\n",
                 program, problem, program);
    std::exit(2);
}

long number(const char* program, const char* option, const char* text, long min)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < min)
        usage(program, (std::string(option) + " needs a number of at least " + std::to_string(min)).c_str());
    return value;
}

} // namespace

Workload parseWorkload(int argc, char** argv)
{
    const char* program = argc > 0 ? argv[0] : "bench";
    if (argc < 2)
        usage(program, "no operation");
    Workload w;
    w.operation = argv[1];
    for (int i = 2; i < argc; i += 2) {
        const char* option = argv[i];
        if (i + 1 >= argc)
            usage(program, (std::string(option) + " needs a value").c_str());
        const char* value = argv[i + 1];
        if (std::strcmp(option, "--port") == 0)
            w.port = int(number(program, option, value, 1));
        else if (std::strcmp(option, "--vhost") == 0)
            w.vhost = value;
        else if (std::strcmp(option, "--count") == 0)
            w.count = number(program, option, value, 1);
        else if (std::strcmp(option, "--size") == 0)
            w.size = int(number(program, option, value, 0));
        else if (std::strcmp(option, "--window") == 0)
            w.window = int(number(program, option, value, 1));
        else if (std::strcmp(option, "--timeout") == 0)
            w.timeoutSeconds = int(number(program, option, value, 1));
        else
            usage(program, (std::string("unknown option ") + option).c_str());
    }
    if (w.port == 0)
        usage(program, "--port is required");
    return w;
}

std::string body(int size)
{
    std::string out(size_t(size), '\0');
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = char((i * 31 + 7) & 0xff);
    return out;
}

void printResult(const char* side, const Workload& workload, const Elapsed& elapsed)
{
    const double count = double(workload.count);
    std::printf("side=%s operation=%s size=%d count=%ld seconds=%.6f cpu_us_per_msg=%.2f msgs_per_s=%.0f\n", side,
                workload.operation.c_str(), workload.size, workload.count, elapsed.wallSeconds,
                elapsed.cpuSeconds * 1e6 / count, count / elapsed.wallSeconds);
    std::fflush(stdout);
}

void fail(const char* side, const std::string& why)
{
    std::fprintf(stderr, "%s: %s\n", side, why.c_str());
    std::exit(1);
}

} // namespace bench
