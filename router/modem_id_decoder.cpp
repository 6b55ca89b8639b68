#include "modem_id_decoder.h"

#include "app/logger.h"
#include "dump_limiter.h"
#include "json_decision.h"
#include "shared/binary_converter/protobuf_parser.h"

#include <exception>

namespace {

class ModemIdParser : public ProtobufParser {
public:
    explicit ModemIdParser(const QByteArray& body) : ProtobufParser(body) {}
    ~ModemIdParser() override = default;

    // The payload's device number when the envelope is an uplink payload,
    // else -1: heartbeats and unknown message types concern no device.
    qint32 modemId() const
    {
        const binary_struct::ComplexMessage& m = message();
        if (m.type() == binary_struct::MsgPl && m.msg_case() == binary_struct::ComplexMessage::kPayload)
            return m.payload().modem_id();
        return -1;
    }
};

// At most this many bytes of an unparsable body are dumped, in each form: the
// whole of a large body would grow the log and the process by several times its size.
constexpr int dump_limit = 4096;

// The raw form of the dumped bytes: one Latin-1 character per byte, except
// that control bytes (0x00-0x1F, 0x7F and the C1 controls 0x80-0x9F) become
// \xNN and a backslash \\. So a body cannot end the log entry with its own
// CR LF or a NEL, forge the lines after it, or send escape sequences (CSI,
// OSC) to a terminal that follows the log.
QByteArray escaped_raw(const QByteArray& head)
{
    static const char digits[] = "0123456789abcdef";
    QByteArray out;
    out.reserve(head.size());
    for (const char c : head) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || (b >= 0x7f && b <= 0x9f)) {
            const char escape[] = {'\\', 'x', digits[b >> 4], digits[b & 0x0f]};
            out.append(escape, int(sizeof escape));
        } else if (c == '\\') {
            out.append("\\\\", 2);
        } else {
            out.append(c);
        }
    }
    return out;
}

void log_unparsable(const QByteArray& body, const QByteArray& error, logger& log, DumpLimiter& dumps)
{
    if (!dumps.admit()) {
        dumps.leftOut(body.size());
        logLeftOutBodies(log, dumps);
        return;
    }
    log_line line(log, 1);
    if (!line.active())
        return;
    // A view of the body's head, not a copy; the raw part carries every byte
    // of it, a zero byte included.
    const QByteArray head = QByteArray::fromRawData(body.constData(), qMin(body.size(), dump_limit));
    const QByteArray left_out = body.size() > dump_limit
                                    ? " ... (" + QByteArray::number(body.size() - dump_limit) + " more bytes)"
                                    : QByteArray();
    const QByteArray dump =
        error + "\n hex arr: \n" + head.toHex() + left_out + "\n raw arr: \n" + escaped_raw(head) + left_out;
    line << QString::fromLatin1(dump.constData(), dump.size());
}

ModemIdResult decode(const QByteArray& body, logger& log, DumpLimiter& dumps)
{
    const JsonDecision json = json_decision(body);
    if (json.text)
        return ModemIdResult{json.modem_id, false};

    const ModemIdParser parser(body);
    const QByteArray parse_error = parser.errorText();
    if (!parse_error.isEmpty()) {
        log_unparsable(body, parse_error, log, dumps);
        return ModemIdResult{std::nullopt, true};
    }
    return ModemIdResult{parser.modemId(), true};
}

} // namespace

void logLeftOutBodies(logger& log, DumpLimiter& dumps)
{
    DumpLimiter::Summary left_out;
    if (!dumps.takeSummary(&left_out))
        return;
    log_line(log, 1) << "cannot parse from binary array: " << left_out.bodies << " further bodies, "
                     << left_out.bytes << " bytes in all, in the last " << left_out.seconds
                     << " s, neither dumped nor logged one by one (at most " << DumpLimiter::per_minute
                     << " bodies a minute are dumped)";
}

ModemIdResult decodeModemId(const QByteArray& body, logger& log, DumpLimiter& dumps)
{
    try {
        return decode(body, log, dumps);
    } catch (const std::exception& e) {
        // Out of memory while parsing or dumping: drop this body, keep the service.
        log_line(log, 1) << "exception during message decoding: " << e.what()
                         << ", message size: " << body.size();
    } catch (...) {
        log_line(log, 1) << "unknown exception during message decoding, message size: " << body.size();
    }
    return ModemIdResult{std::nullopt, true};
}
