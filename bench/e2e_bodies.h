#pragma once

#include <cstdint>
#include <string>

// The message bodies of the end-to-end workloads, as devices send them: JSON
// text with a top-level modem_id, or a serialised binary_struct.ComplexMessage
// carrying an uplink payload. Bodies are padded to the requested size.
namespace e2e {

enum class BodyKind {
    Json,     // {"modem_id":D,...}, D varying from body to body
    Protobuf, // ComplexMessage, type MsgPl, payload.modem_id = D
    FanOut,   // {"modem_id":-1,...}: names no device, so it goes to every shard
};

// Reads "json", "protobuf" or "fanout"; returns false for anything else.
bool parseBodyKind(const std::string& name, BodyKind& kind);

// Body number `sequence` of a workload: exactly `size` bytes for JSON (unless
// its fields alone are longer), within a byte or two of it for protobuf.
std::string makeBody(BodyKind kind, long sequence, int size);

// The content type a producer gives such a body.
const char* contentType(BodyKind kind);

// What a producer that traces its messages gives message number `sequence`
// besides the content type (the workloads with properties): it is persistent
// (delivery mode 2), has an id, a timestamp and four headers of different
// field types.
struct TracedProperties {
    std::string messageId;   // UUID-shaped; its last group is the sequence in hex
    uint64_t timestamp;      // seconds since the epoch
    std::string traceparent; // header "traceparent", long string: "00-<32 hex>-<16 hex>-01"
    std::string origin;      // header "origin", long string
    int32_t attempt;         // header "attempt", 32-bit signed integer
    bool replayed;           // header "replayed", boolean
};

TracedProperties tracedProperties(long sequence);

// The sequence number in a message id of tracedProperties(); false when the
// id is not one of those.
bool sequenceOfMessageId(const std::string& messageId, long& sequence);

} // namespace e2e
