// Prepares and inspects the broker objects of the end-to-end benchmark
// (bench/e2e.sh), in one virtual host:
//   bench_e2e_queues setup --port P --vhost V --shards N
//       declare the durable input queue, the output exchange and N shard queues, bound
//   bench_e2e_queues load --port P --vhost V --count C --body json|protobuf|fanout --size S [--window W]
//                         [--properties 0|1]
//       publish C bodies to the input queue, with confirms, at most W unconfirmed at once; each
//       has a content type, and with --properties 1 also the properties of a producer that traces
//       its messages (e2e::tracedProperties: persistent, message_id, timestamp, four headers)
//   bench_e2e_queues depth --port P --vhost V --shards N
//       print the messages in the input queue and the sum over the shard queues
//   bench_e2e_queues purge --port P --vhost V --shards N
//       empty the input queue and the shard queues
//   bench_e2e_queues inspect --port P --vhost V --queue Q
//       get one message of queue Q without taking it (it goes back when the connection closes)
//       and print one line: properties=kept when it carries every property that load
//       --properties 1 gave it, else properties=lost, then what it carries:
//         properties=kept|lost delivery_mode=N content_type=T message_id=I timestamp=S headers=H
//         user_id=U [missing=WHAT,...]
//       (- for a property it lacks); status 1 when the queue is empty
#include "confirm_tracker.h"
#include "e2e_bodies.h"
#include "e2e_layout.h"
#include "e2e_options.h"
#include "rmq_connection.h"

#include <amqp_framing.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr const char* Side = "e2e queues";
constexpr const char* Usage =
    "setup|load|depth|purge|inspect --port P --vhost V [--shards N] [--count C --body json|protobuf|fanout "
    "--size S [--window W] [--properties 0|1]] [--queue Q]";

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

// The header names of e2e::TracedProperties, in the order the loader puts them.
constexpr const char* TraceparentHeader = "traceparent";
constexpr const char* OriginHeader = "origin";
constexpr const char* AttemptHeader = "attempt";
constexpr const char* ReplayedHeader = "replayed";
constexpr int TracedHeaders = 4;

// Adds what load --properties 1 gives a message besides its content type:
// persistent, with the id, timestamp and headers of `traced`. The properties
// then point into `traced` and `headers`.
void addTracedProperties(amqp_basic_properties_t& properties, const e2e::TracedProperties& traced,
                         amqp_table_entry_t (&headers)[TracedHeaders])
{
    headers[0].key = amqp_cstring_bytes(TraceparentHeader);
    headers[0].value.kind = AMQP_FIELD_KIND_UTF8;
    headers[0].value.value.bytes = bytes(traced.traceparent);
    headers[1].key = amqp_cstring_bytes(OriginHeader);
    headers[1].value.kind = AMQP_FIELD_KIND_UTF8;
    headers[1].value.value.bytes = bytes(traced.origin);
    headers[2].key = amqp_cstring_bytes(AttemptHeader);
    headers[2].value.kind = AMQP_FIELD_KIND_I32;
    headers[2].value.value.i32 = traced.attempt;
    headers[3].key = amqp_cstring_bytes(ReplayedHeader);
    headers[3].value.kind = AMQP_FIELD_KIND_BOOLEAN;
    headers[3].value.value.boolean = traced.replayed ? 1 : 0;
    properties._flags |= AMQP_BASIC_DELIVERY_MODE_FLAG | AMQP_BASIC_MESSAGE_ID_FLAG | AMQP_BASIC_TIMESTAMP_FLAG
                         | AMQP_BASIC_HEADERS_FLAG;
    properties.delivery_mode = AMQP_DELIVERY_PERSISTENT;
    properties.message_id = bytes(traced.messageId);
    properties.timestamp = traced.timestamp;
    properties.headers = amqp_table_t{TracedHeaders, headers};
}

void load(const RmqConnection& c, long count, e2e::BodyKind kind, int size, long window, bool traced)
{
    declareInput(c);
    amqp_confirm_select(c.state(), RmqConnection::Channel);
    c.checkLastReply("confirm.select");
    amqp_basic_properties_t plain{};
    plain._flags = AMQP_BASIC_CONTENT_TYPE_FLAG; // no delivery mode: transient
    plain.content_type = amqp_cstring_bytes(e2e::contentType(kind));
    ConfirmTracker confirms(count);
    long sent = 0;
    long refused = 0;
    while (confirms.settled() < count) {
        while (sent < count && sent - confirms.settled() < window) {
            const std::string body = e2e::makeBody(kind, sent, size);
            amqp_basic_properties_t properties = plain;
            e2e::TracedProperties extra{};
            amqp_table_entry_t headers[TracedHeaders]{};
            if (traced) {
                extra = e2e::tracedProperties(sent);
                addTracedProperties(properties, extra, headers);
            }
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

std::string text(amqp_bytes_t b)
{
    return std::string(static_cast<const char*>(b.bytes), b.len);
}

const amqp_field_value_t* header(const amqp_table_t& table, const char* name)
{
    for (int i = 0; i < table.num_entries; ++i) {
        const amqp_table_entry_t& entry = table.entries[i];
        if (entry.key.len == std::strlen(name) && std::memcmp(entry.key.bytes, name, entry.key.len) == 0)
            return &entry.value;
    }
    return nullptr;
}

bool hasText(const amqp_field_value_t* value, const std::string& expected)
{
    return value != nullptr && value->kind == AMQP_FIELD_KIND_UTF8 && text(value->value.bytes) == expected;
}

// What of load --properties 1's properties the message lacks or has changed.
std::vector<std::string> missingTraced(const amqp_basic_properties_t& p)
{
    std::vector<std::string> missing;
    long sequence = 0;
    if (!(p._flags & AMQP_BASIC_DELIVERY_MODE_FLAG) || p.delivery_mode != AMQP_DELIVERY_PERSISTENT)
        missing.emplace_back("delivery_mode");
    if (!(p._flags & AMQP_BASIC_MESSAGE_ID_FLAG) || !e2e::sequenceOfMessageId(text(p.message_id), sequence)) {
        missing.emplace_back("message_id"); // the rest is compared with what message `sequence` had
        return missing;
    }
    const e2e::TracedProperties expected = e2e::tracedProperties(sequence);
    if (!(p._flags & AMQP_BASIC_TIMESTAMP_FLAG) || p.timestamp != expected.timestamp)
        missing.emplace_back("timestamp");
    const amqp_table_t none{0, nullptr};
    const amqp_table_t& headers = (p._flags & AMQP_BASIC_HEADERS_FLAG) ? p.headers : none;
    if (headers.num_entries != TracedHeaders)
        missing.emplace_back("headers");
    if (!hasText(header(headers, TraceparentHeader), expected.traceparent))
        missing.emplace_back(TraceparentHeader);
    if (!hasText(header(headers, OriginHeader), expected.origin))
        missing.emplace_back(OriginHeader);
    const amqp_field_value_t* attempt = header(headers, AttemptHeader);
    if (attempt == nullptr || attempt->kind != AMQP_FIELD_KIND_I32 || attempt->value.i32 != expected.attempt)
        missing.emplace_back(AttemptHeader);
    const amqp_field_value_t* replayed = header(headers, ReplayedHeader);
    if (replayed == nullptr || replayed->kind != AMQP_FIELD_KIND_BOOLEAN
        || (replayed->value.boolean != 0) != expected.replayed)
        missing.emplace_back(ReplayedHeader);
    return missing;
}

int inspect(const RmqConnection& c, const std::string& queue)
{
    // Not acknowledged, so the broker puts the message back when the connection closes.
    const amqp_rpc_reply_t got = amqp_basic_get(c.state(), RmqConnection::Channel, bytes(queue), 0);
    c.check(got, "basic.get");
    if (got.reply.id == AMQP_BASIC_GET_EMPTY_METHOD) {
        std::fprintf(stderr, "%s: queue %s is empty\n", Side, queue.c_str());
        return 1;
    }
    amqp_message_t message;
    c.check(amqp_read_message(c.state(), RmqConnection::Channel, &message, 0), "reading the message");
    const amqp_basic_properties_t& p = message.properties;
    const auto shown = [&p](amqp_flags_t flag, amqp_bytes_t value) {
        return (p._flags & flag) ? text(value) : std::string("-");
    };
    const std::vector<std::string> missing = missingTraced(p);
    std::string line = std::string("properties=") + (missing.empty() ? "kept" : "lost") + " delivery_mode="
                       + ((p._flags & AMQP_BASIC_DELIVERY_MODE_FLAG) ? std::to_string(p.delivery_mode) : "-")
                       + " content_type=" + shown(AMQP_BASIC_CONTENT_TYPE_FLAG, p.content_type)
                       + " message_id=" + shown(AMQP_BASIC_MESSAGE_ID_FLAG, p.message_id) + " timestamp="
                       + ((p._flags & AMQP_BASIC_TIMESTAMP_FLAG) ? std::to_string(p.timestamp) : "-")
                       + " headers="
                       + ((p._flags & AMQP_BASIC_HEADERS_FLAG) ? std::to_string(p.headers.num_entries) : "-")
                       + " user_id=" + shown(AMQP_BASIC_USER_ID_FLAG, p.user_id);
    for (size_t i = 0; i < missing.size(); ++i)
        line += (i == 0 ? " missing=" : ",") + missing[i];
    std::printf("%s\n", line.c_str());
    amqp_destroy_message(&message);
    return 0;
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
        const long traced = options.number("properties", 0, 0);
        if (traced > 1)
            options.usage("--properties is 0 or 1");
        load(connection, options.number("count", 1), kind, int(options.number("size", 1)),
             options.number("window", 1, 2000), traced == 1);
        return 0;
    }
    if (operation == "inspect")
        return inspect(connection, options.text("queue"));
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
