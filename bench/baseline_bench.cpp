// The baseline: the same workloads as amqp_bench_shardex, done by a minimal
// program on rabbitmq-c's blocking API.
//   amqp_bench_baseline publish --port P --vhost V --count N --size S [--window W]
//   amqp_bench_baseline consume --port P --vhost V --count N --size S
#include "rmq_connection.h"
#include "workload.h"

#include <amqp_framing.h>

#include <unistd.h>

#include <cstdint>
#include <vector>

namespace {

constexpr const char* Side = "baseline";

amqp_bytes_t bytes(const char* text)
{
    return amqp_cstring_bytes(text);
}

// Which publishes the broker has settled. An ack or nack with multiple=true
// settles every earlier tag that was still open.
class ConfirmTracker {
public:
    explicit ConfirmTracker(long count) : m_done(size_t(count) + 1, false) {}

    // Returns how many tags this settled.
    long settle(uint64_t tag, bool multiple, const RmqConnection& connection)
    {
        if (tag == 0 || tag >= m_done.size())
            connection.fail("confirm for unknown delivery tag " + std::to_string(tag));
        long newly = 0;
        for (uint64_t t = multiple ? m_floor + 1 : tag; t <= tag; ++t) {
            if (!m_done[t]) {
                m_done[t] = true;
                ++newly;
            }
        }
        while (m_floor + 1 < m_done.size() && m_done[m_floor + 1])
            ++m_floor;
        m_settled += newly;
        return newly;
    }
    long settled() const { return m_settled; }

private:
    std::vector<bool> m_done; // by delivery tag, from 1
    uint64_t m_floor = 0;     // every tag up to this one is settled
    long m_settled = 0;
};

// Blocks for the next frame on the connection, which must be a confirm.
// Returns how many publishes a nack refused.
long readConfirm(const RmqConnection& connection, ConfirmTracker& confirms)
{
    amqp_frame_t frame;
    connection.checkStatus(amqp_simple_wait_frame(connection.state(), &frame), "waiting for confirms");
    if (frame.frame_type != AMQP_FRAME_METHOD)
        connection.fail("unexpected frame of type " + std::to_string(frame.frame_type));
    switch (frame.payload.method.id) {
    case AMQP_BASIC_ACK_METHOD: {
        const auto* ack = static_cast<const amqp_basic_ack_t*>(frame.payload.method.decoded);
        confirms.settle(ack->delivery_tag, ack->multiple != 0, connection);
        return 0;
    }
    case AMQP_BASIC_NACK_METHOD: {
        const auto* nack = static_cast<const amqp_basic_nack_t*>(frame.payload.method.decoded);
        return confirms.settle(nack->delivery_tag, nack->multiple != 0, connection);
    }
    default:
        connection.fail(std::string("unexpected ") + amqp_method_name(frame.payload.method.id)
                        + " while waiting for confirms");
    }
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
