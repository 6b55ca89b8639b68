#pragma once

#include "stopwatch.h"

#include <string>

// What one benchmark run does. Both sides read the same command line and use
// these same constants, so they do the same work on the same broker objects.
namespace bench {

constexpr const char* ExchangeName = "bench.exchange"; // direct, bound to the queue with RoutingKey
constexpr const char* QueueName = "bench.queue";
constexpr const char* RoutingKey = "bench";
constexpr const char* ContentType = "application/octet-stream"; // the one property every publish carries
constexpr int Prefetch = 100;    // basic.qos prefetch count of the consumers
constexpr int AckEvery = 25;     // consumers ack with multiple=true every this many deliveries
constexpr int FrameMax = 131072; // what our layer asks for; the baseline asks for the same
constexpr int Heartbeat = 60;    // seconds, our layer's default

struct Workload {
    std::string operation; // publish or consume (the queue tool: setup, depth, purge)
    int port = 0;
    std::string vhost = "/";
    long count = 0;             // messages to publish or to consume
    int size = 0;               // body bytes of each message
    int window = 1000;          // publishes that may wait for their confirm at once
    int timeoutSeconds = 120;   // a run taking longer has failed
};

// Reads "OPERATION --port P [--vhost V] [--count N] [--size S] [--window W]
// [--timeout S]"; prints the usage and exits on anything else.
Workload parseWorkload(int argc, char** argv);

// The body of every message: `size` bytes of a fixed pattern.
std::string body(int size);

// One line for bench/run.sh: side, operation, size, count, seconds, msgs/s,
// and the client's CPU microseconds per message.
void printResult(const char* side, const Workload& workload, const Elapsed& elapsed);

// Reports why the run failed and ends the process with status 1.
[[noreturn]] void fail(const char* side, const std::string& why);

} // namespace bench
