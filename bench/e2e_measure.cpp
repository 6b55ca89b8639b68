// Runs one forwarding program against a preloaded input queue and measures it
// (bench/e2e.sh):
//   bench_e2e_measure --port P --vhost V --shards N --expect M [--broker-pid B]
//                     [--interval-ms 100] [--timeout-s 900] [--stop-timeout-s 30] [--log FILE]
//                     -- PROGRAM ARGS...
// Starts PROGRAM (its output goes to FILE), polls the message counts of the
// input queue and the shard queues every interval over one AMQP connection
// (passive queue.declare), and once the shard queues hold M messages and the
// input queue none, reads the program's CPU time and peak RSS and the broker's
// CPU time, stops the program with SIGTERM and waits for it. Prints one line:
//   seconds=S msgs_per_s=R cpu_us_per_msg=C broker_cpu_us_per_msg=B peak_rss_kib=K stop_seconds=T
// Ends with status 1 (and says why) when the program ends by itself, the
// count is not reached in time, the shards hold more than M, or the program
// does not stop cleanly.
#include "e2e_layout.h"
#include "e2e_options.h"
#include "proc_usage.h"
#include "rmq_connection.h"

#include <amqp_framing.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* Side = "e2e measure";
constexpr const char* Usage = "--port P --vhost V --shards N --expect M [--broker-pid B] [--interval-ms 100] "
                              "[--timeout-s 900] [--stop-timeout-s 30] [--log FILE] -- PROGRAM ARGS...";

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Counts {
    unsigned long input = 0;  // ready in the input queue
    unsigned long shards = 0; // sum over the shard queues (nobody consumes them)
};

class QueueCounter {
public:
    QueueCounter(const RmqConnection& connection, int shards) : m_connection(connection)
    {
        for (int i = 0; i < shards; ++i)
            m_shardNames.push_back(e2e::shardName(i));
    }
    Counts read() const
    {
        Counts c;
        c.input = messages(e2e::InputQueue);
        for (const std::string& name : m_shardNames)
            c.shards += messages(name);
        return c;
    }

private:
    unsigned long messages(const std::string& queue) const
    {
        const amqp_queue_declare_ok_t* ok =
            amqp_queue_declare(m_connection.state(), RmqConnection::Channel,
                               amqp_bytes_t{queue.size(), const_cast<char*>(queue.data())}, 1, 0, 0, 0,
                               amqp_empty_table);
        m_connection.checkLastReply("queue.declare (passive)");
        return ok->message_count;
    }

    const RmqConnection& m_connection;
    std::vector<std::string> m_shardNames;
};

pid_t start(const std::vector<std::string>& command, const std::string& log)
{
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        bench::fail(Side, std::string("fork: ") + std::strerror(errno));
    if (pid == 0) {
        // Should this process die, the program is asked to stop too.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
        }
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "%s: cannot run %s: %s\n", Side, argv[0], std::strerror(errno));
        _exit(127);
    }
    return pid;
}

std::string describeStatus(int status)
{
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("signal ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// SIGTERM, then up to `timeoutSeconds` for the program to end; SIGKILL after that.
// Returns the seconds the stop took; fails unless the program ended with status 0.
double stop(pid_t pid, const std::string& name, long timeoutSeconds)
{
    const Clock::time_point asked = Clock::now();
    kill(pid, SIGTERM);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (since(asked) > double(timeoutSeconds)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            bench::fail(Side, name + " did not stop within " + std::to_string(timeoutSeconds) + " s of SIGTERM");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        bench::fail(Side, name + " ended with " + describeStatus(status) + " after SIGTERM");
    return since(asked);
}

} // namespace

int main(int argc, char** argv)
{
    const e2e::Options options(argc, argv, 1, Usage);
    const auto shards = int(options.number("shards", 1));
    const auto expect = static_cast<unsigned long>(options.number("expect", 1));
    const auto brokerPid = pid_t(options.number("broker-pid", 0, 0));
    const auto interval = std::chrono::milliseconds(options.number("interval-ms", 1, 100));
    const double timeout = double(options.number("timeout-s", 1, 900));
    const long stopTimeout = options.number("stop-timeout-s", 1, 30);
    const std::string log = options.text("log", "/dev/null");
    if (options.command().empty())
        options.usage("no program to run after --");
    const std::string name = options.command().front();

    const RmqConnection connection(Side, int(options.number("port", 1)), options.text("vhost"));
    const QueueCounter counter(connection, shards);
    const Counts before = counter.read();
    if (before.shards != 0)
        bench::fail(Side, "the shard queues are not empty at the start: " + std::to_string(before.shards));

    const double brokerCpuBefore = brokerPid > 0 ? e2e::processCpuSeconds(brokerPid) : 0;
    const Clock::time_point started = Clock::now();
    const pid_t pid = start(options.command(), log);

    // The count is read at instants a poll apart; the moment it reached
    // `expect` is interpolated between the last two, as if the rate were even.
    double previousTime = 0;
    unsigned long previousCount = 0;
    Clock::time_point next = started;
    double seconds = 0;
    unsigned long last = 0;
    for (;;) {
        next += interval;
        std::this_thread::sleep_until(next);
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            bench::fail(Side, name + " ended by itself with " + describeStatus(status) + " after "
                                  + std::to_string(last) + " of " + std::to_string(expect) + " messages");
        const double pollStart = since(started);
        const Counts now = counter.read();
        const double at = (pollStart + since(started)) / 2;
        last = now.shards;
        if (now.shards >= expect && now.input == 0) {
            const double share = now.shards > previousCount
                                     ? double(expect - std::min(expect, previousCount)) / double(now.shards - previousCount)
                                     : 1.0;
            seconds = previousTime + share * (at - previousTime);
            break;
        }
        if (at > timeout) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            bench::fail(Side, "only " + std::to_string(now.shards) + " of " + std::to_string(expect)
                                  + " messages reached the shards within " + std::to_string(int(timeout)) + " s ("
                                  + std::to_string(now.input) + " left in the input queue)");
        }
        previousTime = at;
        previousCount = now.shards;
    }
    const double cpu = e2e::processCpuSeconds(pid);
    const long rss = e2e::peakRssKib(pid);
    const double brokerCpu = brokerPid > 0 ? e2e::processCpuSeconds(brokerPid) - brokerCpuBefore : 0;
    const double stopSeconds = stop(pid, name, stopTimeout);
    const Counts after = counter.read();
    if (after.shards != expect)
        bench::fail(Side, "the shard queues hold " + std::to_string(after.shards) + " messages, not "
                              + std::to_string(expect));

    const double n = double(expect);
    std::printf("seconds=%.3f msgs_per_s=%.0f cpu_us_per_msg=%.3f broker_cpu_us_per_msg=%.3f peak_rss_kib=%ld "
                "stop_seconds=%.3f\n",
                seconds, n / seconds, cpu * 1e6 / n, brokerCpu * 1e6 / n, rss, stopSeconds);
    return 0;
}
