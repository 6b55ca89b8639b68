#include "e2e_bodies.h"

#include "complex_message.pb.h"
#include "tools/sample_traffic.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace e2e {

namespace {

// Devices spread over a large range, so that every shard gets its share.
int32_t device(long sequence)
{
    return int32_t((uint64_t(sequence) * 2654435761u) % 1000003u);
}

constexpr char HexDigits[] = "0123456789abcdef";
constexpr size_t MessageIdSequenceDigits = 12; // the last group of a UUID

// `length` hexadecimal digits that change from body to body; another `salt`
// gives other digits for the same sequence.
std::string padding(long sequence, size_t length, uint64_t salt = 0)
{
    std::string out(length, '0');
    uint64_t x = uint64_t(sequence) * 0x9e3779b97f4a7c15u + 1 + salt * 0xbf58476d1ce4e5b9u;
    for (size_t i = 0; i < length; ++i) {
        x = x * 6364136223846793005u + 1442695040888963407u;
        out[i] = HexDigits[x >> 60]; // the high bits: the low ones of this generator repeat soon
    }
    return out;
}

std::string jsonBody(int32_t modemId, long sequence, int size)
{
    std::string out = "{\"modem_id\":" + std::to_string(modemId) + ",\"seq\":" + std::to_string(sequence)
                      + ",\"rssi\":-" + std::to_string(70 + sequence % 30) + ",\"payload\":\"";
    const size_t closing = 2; // "}
    if (out.size() + closing < size_t(size))
        out += padding(sequence, size_t(size) - out.size() - closing);
    out += "\"}";
    return out;
}

std::string protobufBody(int32_t modemId, long sequence, int size)
{
    binary_struct::ComplexMessage m =
        uplinkMessage(modemId, int32_t(-80 - sequence % 20), 1.7e9 + double(sequence) / 1000.0);
    binary_struct::Payload* p = m.mutable_payload();
    p->set_signal_snr(int32_t(5 + sequence % 10));
    // The payload string fills the body up to `size`; its length prefixes
    // (of the string and of the embedded Payload) grow by a byte now and then,
    // so the size is measured once more after the first guess.
    const size_t bare = m.ByteSizeLong();
    size_t length = size_t(size) > bare + 4 ? size_t(size) - bare - 4 : 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        p->set_payload(padding(sequence, length));
        const size_t now = m.ByteSizeLong();
        if (now == size_t(size) || length == 0)
            break;
        if (now > size_t(size))
            length -= std::min(length, now - size_t(size));
        else
            length += size_t(size) - now;
    }
    return m.SerializeAsString();
}

} // namespace

bool parseBodyKind(const std::string& name, BodyKind& kind)
{
    if (name == "json")
        kind = BodyKind::Json;
    else if (name == "protobuf")
        kind = BodyKind::Protobuf;
    else if (name == "fanout")
        kind = BodyKind::FanOut;
    else
        return false;
    return true;
}

std::string makeBody(BodyKind kind, long sequence, int size)
{
    switch (kind) {
    case BodyKind::Json: return jsonBody(device(sequence), sequence, size);
    case BodyKind::Protobuf: return protobufBody(device(sequence), sequence, size);
    case BodyKind::FanOut: return jsonBody(-1, sequence, size);
    }
    return {};
}

const char* contentType(BodyKind kind)
{
    return kind == BodyKind::Protobuf ? "application/octet-stream" : "text/plain";
}

TracedProperties tracedProperties(long sequence)
{
    TracedProperties p;
    const std::string random = padding(sequence, 18, 1);
    std::string tail(MessageIdSequenceDigits, '0');
    for (size_t i = 0; i < MessageIdSequenceDigits; ++i)
        tail[MessageIdSequenceDigits - 1 - i] = HexDigits[(uint64_t(sequence) >> (4 * i)) & 0xf];
    p.messageId = random.substr(0, 8) + "-" + random.substr(8, 4) + "-4" + random.substr(12, 3) + "-a"
                  + random.substr(15, 3) + "-" + tail;
    p.timestamp = 1700000000u + uint64_t(sequence) / 100;
    const std::string trace = padding(sequence, 48, 2);
    p.traceparent = "00-" + trace.substr(0, 32) + "-" + trace.substr(32) + "-01";
    p.origin = "base-station-" + std::to_string(17 + sequence % 5);
    p.attempt = int32_t(1 + sequence % 3);
    p.replayed = sequence % 10 == 0;
    return p;
}

bool sequenceOfMessageId(const std::string& messageId, long& sequence)
{
    if (messageId.size() != 36)
        return false;
    uint64_t value = 0;
    for (size_t i = messageId.size() - MessageIdSequenceDigits; i < messageId.size(); ++i) {
        const char* digit = std::strchr(HexDigits, messageId[i]);
        if (digit == nullptr || *digit == '\0')
            return false;
        value = value * 16 + uint64_t(digit - HexDigits);
    }
    sequence = long(value);
    return tracedProperties(sequence).messageId == messageId;
}

} // namespace e2e
