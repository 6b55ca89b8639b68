#include "json_decision.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

#include <simdjson.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

namespace {

// Bodies above this size, or nested deeper than this, go to QJsonDocument:
// the fast parser keeps buffers the size of the largest body it parsed.
constexpr size_t fast_size_limit = 64 * 1024;
constexpr size_t fast_depth_limit = 256;

qint32 modem_id_of(double d)
{
    if (std::trunc(d) != d || d < std::numeric_limits<qint32>::min() || d > std::numeric_limits<qint32>::max())
        return 0;
    return static_cast<qint32>(d);
}

// A number written with a fraction or an exponent that comes out as zero:
// QJsonDocument refuses those whose digits are not all zero (1e-400, an
// underflow), and the parsed value no longer tells which kind it was.
bool holds_zero_fraction(const simdjson::dom::element& e)
{
    switch (e.type()) {
    case simdjson::dom::element_type::DOUBLE: return double(e) == 0.0;
    case simdjson::dom::element_type::ARRAY:
        for (const simdjson::dom::element item : simdjson::dom::array(e))
            if (holds_zero_fraction(item))
                return true;
        return false;
    case simdjson::dom::element_type::OBJECT:
        for (const simdjson::dom::key_value_pair field : simdjson::dom::object(e))
            if (holds_zero_fraction(field.value))
                return true;
        return false;
    default: return false;
    }
}

// A parser with room for the largest body it may get, and a copy of the body
// with the zero padding that the parser reads past its end.
struct FastParser {
    FastParser() : input(fast_size_limit + simdjson::SIMDJSON_PADDING, '\0')
    {
        allocated = parser.allocate(fast_size_limit, fast_depth_limit) == simdjson::SUCCESS;
    }
    simdjson::dom::parser parser{fast_size_limit};
    std::vector<char> input;
    bool allocated = false;
};

// QJsonDocument reads a body as an object or an array after an optional
// UTF-8 byte order mark and blanks; a body that starts with any other byte is
// never text. Binary envelopes start so, and skip the parse.
bool cannot_open_json(const QByteArray& body)
{
    if (body.isEmpty())
        return false;
    switch (body.front()) {
    case '{':
    case '[':
    case ' ':
    case '\t':
    case '\n':
    case '\r':
    case '\xef': return false;
    default: return true;
    }
}

} // namespace

JsonDecision qt_json_decision(const QByteArray& body)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return JsonDecision{false, -1};
    const QJsonObject object = doc.object(); // empty for a top-level array
    const auto it = object.constFind(QLatin1String("modem_id"));
    if (it == object.constEnd())
        return JsonDecision{true, -1};
    return JsonDecision{true, it.value().isDouble() ? modem_id_of(it.value().toDouble()) : 0};
}

std::optional<JsonDecision> fast_json_decision(const QByteArray& body)
{
    if (cannot_open_json(body))
        return JsonDecision{false, -1};
    if (size_t(body.size()) > fast_size_limit)
        return std::nullopt;
    thread_local FastParser fast;
    if (!fast.allocated)
        return std::nullopt;
    // A body allocated with room behind it is parsed where it is: the parser
    // reads past the end, but what it finds there does not change the result.
    const char* input = body.constData();
    if (body.capacity() - body.size() < int(simdjson::SIMDJSON_PADDING)) {
        std::memcpy(fast.input.data(), body.constData(), size_t(body.size()));
        std::memset(fast.input.data() + body.size(), 0, simdjson::SIMDJSON_PADDING);
        input = fast.input.data();
    }
    simdjson::dom::element root;
    if (fast.parser.parse(input, size_t(body.size()), false).get(root) != simdjson::SUCCESS)
        return std::nullopt;
    if (root.type() != simdjson::dom::element_type::ARRAY && root.type() != simdjson::dom::element_type::OBJECT)
        return std::nullopt;
    if (holds_zero_fraction(root))
        return std::nullopt;
    if (root.type() == simdjson::dom::element_type::ARRAY)
        return JsonDecision{true, -1};
    JsonDecision decision{true, -1};
    int found = 0;
    for (const simdjson::dom::key_value_pair field : simdjson::dom::object(root)) {
        if (field.key != std::string_view("modem_id"))
            continue;
        if (++found > 1)
            return std::nullopt; // which one counts is QJsonDocument's to say
        switch (field.value.type()) {
        case simdjson::dom::element_type::INT64: decision.modem_id = modem_id_of(double(int64_t(field.value))); break;
        case simdjson::dom::element_type::UINT64: decision.modem_id = modem_id_of(double(uint64_t(field.value))); break;
        case simdjson::dom::element_type::DOUBLE: decision.modem_id = modem_id_of(double(field.value)); break;
        default: decision.modem_id = 0; break;
        }
    }
    return decision;
}

JsonDecision json_decision(const QByteArray& body)
{
    if (const std::optional<JsonDecision> fast = fast_json_decision(body))
        return *fast;
    return qt_json_decision(body);
}
