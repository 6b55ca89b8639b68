#include "proc_usage.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace e2e {

double processCpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line))
        return -1;
    // The command name (field 2) is in parentheses and may hold spaces: count
    // the fields from the last ')', which ends field 2.
    const size_t close = line.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int number = 3; fields >> field; ++number) {
        if (number == 14)
            utime = std::stoull(field);
        else if (number == 15) {
            stime = std::stoull(field);
            return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
        }
    }
    return -1;
}

long peakRssKib(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        long kib = 0;
        if (std::sscanf(line.c_str(), "VmHWM: %ld kB", &kib) == 1)
            return kib;
    }
    return -1;
}

} // namespace e2e
