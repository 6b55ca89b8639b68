// Prepares and inspects the broker objects of the end-to-end benchmark
// (bench/e2e.sh), in one virtual host:
//   bench_e2e_queues setup --port P --vhost V --shards N
//       declare the durable input queue, the output exchange and N shard queues, bound
//   bench_e2e_queues load --port P --vhost V --count C --body json|protobuf|fanout --size S [--window W]
//       publish C bodies to the input queue, with confirms, at most W unconfirmed at once
//   bench_e2e_queues depth --port P --vhost V --shards N
//       print the messages in the input queue and the sum over the shard queues
//   bench_e2e_queues purge --port P --vhost V --shards N
//       empty the input queue and the shard queues
#include "confirm_tracker.h"
#include "e2e_bodies.h"
#include "e2e_layout.h"
#include "e2e_options.h"
#include "rmq_connection.h"

#include <amqp_framing.h>

#include <cstdio>

namespace {

constexpr const char* Side = "e2e queues";
constexpr const char* Usage =
    "setup|load|depth|purge --port P --vhost V [--shards N] [--count C --body json|protobuf|fanout --size S "
    "[--window W]]";

amqp_bytes_t bytes(const std::string& text)
{
    return amqp_bytes_t{text.size(), const_cast<char*>(text.data())};
}

// The input queue exactly as shardex declares it with mode=2: durable, not
// exclusive, not auto-deleted, no arguments (anything else would be refused).
void declareInput(const RmqConnection& c)
{
    amqp_queue_declare(c.state(), RmqConnection::Channel, amqp_cstring_bytes(e2e::InputQueue), 0, 1, 0, 0,
                       amqp_empty_table);
    c.checkLastReply("queue.declare of the input queue");
}

void setup(const RmqConnection& c, int shards)
{
    declareInput(c);
    amqp_exchange_declare(c.state(), RmqConnection::Channel, amqp_cstring_bytes(e2e::OutputExchange),
                          amqp_cstring_bytes("direct"), 0, 0, 0, 0, amqp_empty_table);
    c.checkLastReply("exchange.declare");
    // Neither durable nor auto-deleted, like what republished messages are: transient.
    for (int i = 0; i < shards; ++i) {
        const std::string name = e2e::shardName(i);
        amqp_queue_declare(c.state(), RmqConnection::Channel, bytes(name), 0, 0, 0, 0, amqp_empty_table);
        c.checkLastReply("queue.declare of a shard queue");
        amqp_queue_bind(c.state(), RmqConnection::Channel, bytes(name), amqp_cstring_bytes(e2e::OutputExchange),
                        bytes(name), amqp_empty_table);
        c.checkLastReply("queue.bind");
    }
}

void load(const RmqConnection& c, long count, e2e::BodyKind kind, int size, long window)
{
    declareInput(c);
    amqp_confirm_select(c.state(), RmqConnection::Channel);
    c.checkLastReply("confirm.select");
    amqp_basic_properties_t properties{};
    properties._flags = AMQP_BASIC_CONTENT_TYPE_FLAG; // transient, like what shardex republishes
    properties.content_type = amqp_cstring_bytes(e2e::contentType(kind));
    ConfirmTracker confirms(count);
    long sent = 0;
    long refused = 0;
    while (confirms.settled() < count) {
        while (sent < count && sent - confirms.settled() < window) {
            const std::string body = e2e::makeBody(kind, sent, size);
            c.checkStatus(amqp_basic_publish(c.state(), RmqConnection::Channel, amqp_empty_bytes,
                                             amqp_cstring_bytes(e2e::InputQueue), 0, 0, &properties, bytes(body)),
                          "basic.publish");
            ++sent;
        }
        do {
            refused += readConfirm(c, confirms);
        } while (confirms.settled() < count && amqp_data_in_buffer(c.state()));
        amqp_maybe_release_buffers(c.state());
    }
    if (refused > 0)
        c.fail("the broker refused " + std::to_string(refused) + " of the bodies");
}

uint32_t messages(const RmqConnection& c, const std::string& queue)
{
    const amqp_queue_declare_ok_t* ok =
        amqp_queue_declare(c.state(), RmqConnection::Channel, bytes(queue), 1, 0, 0, 0, amqp_empty_table);
    c.checkLastReply("queue.declare (passive)");
    return ok->message_count;
}

void depth(const RmqConnection& c, int shards)
{
    unsigned long total = 0;
    for (int i = 0; i < shards; ++i)
        total += messages(c, e2e::shardName(i));
    std::printf("%u %lu\n", messages(c, e2e::InputQueue), total);
}

void purge(const RmqConnection& c, int shards)
{
    amqp_queue_purge(c.state(), RmqConnection::Channel, amqp_cstring_bytes(e2e::InputQueue));
    c.checkLastReply("queue.purge of the input queue");
    for (int i = 0; i < shards; ++i) {
        const std::string name = e2e::shardName(i);
        amqp_queue_purge(c.state(), RmqConnection::Channel, bytes(name));
        c.checkLastReply("queue.purge of a shard queue");
    }
}

} // namespace

int main(int argc, char** argv)
{
    const e2e::Options options(argc, argv, 2, Usage);
    const std::string operation = argv[1];
    const RmqConnection connection(Side, int(options.number("port", 1)), options.text("vhost"));
    if (operation == "load") {
        e2e::BodyKind kind;
        if (!e2e::parseBodyKind(options.text("body"), kind))
            options.usage("--body is json, protobuf or fanout");
        load(connection, options.number("count", 1), kind, int(options.number("size", 1)),
             options.number("window", 1, 2000));
        return 0;
    }
    const int shards = int(options.number("shards", 1));
    if (operation == "setup")
        setup(connection, shards);
    else if (operation == "depth")
        depth(connection, shards);
    else if (operation == "purge")
        purge(connection, shards);
    else
        options.usage("unknown operation " + operation);
    return 0;
}
