#pragma once

#include <sys/types.h>

// What Linux reports in /proc about another process, for the end-to-end
// benchmark's measurements of the forwarding program and of the broker.
namespace e2e {

// User plus system CPU time the process has used so far, in seconds (clock-tick
// resolution); -1 when it cannot be read.
double processCpuSeconds(pid_t pid);

// The process's peak resident set size (VmHWM), in KiB; -1 when it cannot be read.
long peakRssKib(pid_t pid);

} // namespace e2e
