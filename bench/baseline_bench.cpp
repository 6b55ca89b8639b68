// The baseline: the same workloads as amqp_bench_shardex, done by a minimal
// program on rabbitmq-c's blocking API.
//   amqp_bench_baseline publish --port P --vhost V --count N --size S [--window W]
//   amqp_bench_baseline consume --port P --vhost V --count N --size S
#include "confirm_tracker.h"
#include "rmq_connection.h"
#include "workload.h"

#include <amqp_framing.h>

#include <unistd.h>

namespace {

constexpr const char* Side = "baseline";

amqp_bytes_t bytes(const char* text)
{
    return amqp_cstring_bytes(text);
}

// Publishes with confirms, keeping at most `window` publishes unconfirmed,
// until the broker has confirmed every one.
bench::Elapsed publish(const bench::Workload& w)
{
    const RmqConnection connection(Side, w.port, w.vhost);
    amqp_connection_state_t state = connection.state();
    amqp_confirm_select(state, RmqConnection::Channel);
    connection.checkLastReply("confirm.select");

    const std::string text = bench::body(w.size);
    const amqp_bytes_t body{text.size(), const_cast<char*>(text.data())};
    amqp_basic_properties_t properties{};
    properties._flags = AMQP_BASIC_CONTENT_TYPE_FLAG;
    properties.content_type = bytes(bench::ContentType);

    ConfirmTracker confirms(w.count);
    long sent = 0;
    long refused = 0;
    bench::Stopwatch stopwatch;
    stopwatch.start();
    while (confirms.settled() < w.count) {
        while (sent < w.count && sent - confirms.settled() < w.window) {
            connection.checkStatus(amqp_basic_publish(state, RmqConnection::Channel, bytes(bench::ExchangeName),
                                                      bytes(bench::RoutingKey), 0, 0, &properties, body),
                                   "basic.publish");
            ++sent;
        }
        // At least one confirm, then whatever else has already arrived.
        do {
            refused += readConfirm(connection, confirms);
        } while (confirms.settled() < w.count && amqp_data_in_buffer(state));
        amqp_maybe_release_buffers(state);
    }
    const bench::Elapsed elapsed = stopwatch.elapsed();
    if (refused > 0)
        connection.fail("the broker refused " + std::to_string(refused) + " publishes");
    return elapsed;
}

// Consumes `count` messages with prefetch and acks every AckEvery (multiple),
// the last one at the end; then one basic.qos round trip, so that the broker
// has taken every ack before the clock stops.
bench::Elapsed consume(const bench::Workload& w)
{
    const RmqConnection connection(Side, w.port, w.vhost);
    amqp_connection_state_t state = connection.state();
    amqp_basic_qos(state, RmqConnection::Channel, 0, bench::Prefetch, 0);
    connection.checkLastReply("basic.qos");

    bench::Stopwatch stopwatch;
    stopwatch.start();
    amqp_basic_consume(state, RmqConnection::Channel, bytes(bench::QueueName), amqp_empty_bytes, 0, 0, 0,
                       amqp_empty_table);
    connection.checkLastReply("basic.consume");
    long received = 0;
    uint64_t lastTag = 0;
    while (received < w.count) {
        amqp_maybe_release_buffers(state);
        amqp_envelope_t envelope;
        connection.check(amqp_consume_message(state, &envelope, nullptr, 0), "waiting for a delivery");
        ++received;
        lastTag = envelope.delivery_tag;
        const size_t size = envelope.message.body.len;
        amqp_destroy_envelope(&envelope);
        if (size != size_t(w.size))
            connection.fail("delivery " + std::to_string(received) + " has " + std::to_string(size) + " bytes");
        if (received % bench::AckEvery == 0)
            connection.checkStatus(amqp_basic_ack(state, RmqConnection::Channel, lastTag, 1), "basic.ack");
    }
    if (received % bench::AckEvery != 0)
        connection.checkStatus(amqp_basic_ack(state, RmqConnection::Channel, lastTag, 1), "basic.ack");
    amqp_basic_qos(state, RmqConnection::Channel, 0, bench::Prefetch, 0);
    connection.checkLastReply("basic.qos after the last ack");
    return stopwatch.elapsed();
}

} // namespace

int main(int argc, char** argv)
{
    const bench::Workload w = bench::parseWorkload(argc, argv);
    alarm(unsigned(w.timeoutSeconds)); // the blocking calls have no time limit of their own
    bench::Elapsed elapsed;
    if (w.operation == "publish")
        elapsed = publish(w);
    else if (w.operation == "consume")
        elapsed = consume(w);
    else
        bench::fail(Side, "unknown operation " + w.operation);
    bench::printResult(Side, w, elapsed);
    return 0;
}
