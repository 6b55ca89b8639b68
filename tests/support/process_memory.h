#pragma once

#include <QtGlobal>

#include <fstream>
#include <string>

// Memory figures of a process from /proc/PID/status, for the tests that bound
// them. Under AddressSanitizer they mean nothing (its quarantine keeps freed
// memory, its shadow doubles the rest), so such tests skip their bounds there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool memoryFiguresMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool memoryFiguresMeaningful = false;
#else
constexpr bool memoryFiguresMeaningful = true;
#endif
#else
constexpr bool memoryFiguresMeaningful = true;
#endif

// Timings of an unoptimised build under the sanitizers are several times a
// release build's: bounds on them hold only without the sanitizers.
constexpr bool timingFiguresMeaningful = memoryFiguresMeaningful;

// A field such as "VmHWM" (peak resident size) or "VmRSS" in bytes, or -1.
inline qint64 processMemory(qint64 pid, const std::string& field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    while (status >> word) {
        if (word == field + ":") {
            qint64 kb = -1;
            status >> kb;
            return kb * 1024;
        }
    }
    return -1;
}
