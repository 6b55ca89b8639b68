#pragma once

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

} // namespace e2e
