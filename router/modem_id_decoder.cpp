#include "modem_id_decoder.h"

#include "app/logger.h"
#include "shared/binary_converter/protobuf_parser.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

#include <cmath>
#include <exception>
#include <limits>

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

// A JSON number with an integral value in the signed 32-bit range, else 0.
qint32 json_modem_id(const QJsonValue& value)
{
    if (!value.isDouble())
        return 0;
    const double d = value.toDouble();
    if (std::trunc(d) != d || d < std::numeric_limits<qint32>::min() || d > std::numeric_limits<qint32>::max())
        return 0;
    return static_cast<qint32>(d);
}

// At most this many bytes of an unparsable body are dumped, in each form: the
// whole of a large body would grow the log and the process by several times its size.
constexpr int dump_limit = 4096;

void log_unparsable(const QByteArray& body, const QByteArray& error, logger& log)
{
    log_line line(log, 1);
    if (!line.active())
        return;
    // A view of the body's head, not a copy; the raw part carries every byte
    // of it, a zero byte included.
    const QByteArray head = QByteArray::fromRawData(body.constData(), qMin(body.size(), dump_limit));
    const QByteArray left_out = body.size() > dump_limit
                                    ? " ... (" + QByteArray::number(body.size() - dump_limit) + " more bytes)"
                                    : QByteArray();
    const QByteArray dump = error + "\n hex arr: \n" + head.toHex() + left_out + "\n raw arr: \n" + head + left_out;
    line << QString::fromLatin1(dump.constData(), dump.size());
}

ModemIdResult decode(const QByteArray& body, logger& log)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error == QJsonParseError::NoError) {
        const QJsonObject object = doc.object(); // empty for a top-level array
        const auto it = object.constFind(QLatin1String("modem_id"));
        return ModemIdResult{it == object.constEnd() ? -1 : json_modem_id(it.value()), false};
    }

    const ModemIdParser parser(body);
    const QByteArray parse_error = parser.errorText();
    if (!parse_error.isEmpty()) {
        log_unparsable(body, parse_error, log);
        return ModemIdResult{std::nullopt, true};
    }
    return ModemIdResult{parser.modemId(), true};
}

} // namespace

ModemIdResult decodeModemId(const QByteArray& body, logger& log)
{
    try {
        return decode(body, log);
    } catch (const std::exception& e) {
        // Out of memory while parsing or dumping: drop this body, keep the service.
        log_line(log, 1) << "exception during message decoding: " << e.what()
                         << ", message size: " << body.size();
    } catch (...) {
        log_line(log, 1) << "unknown exception during message decoding, message size: " << body.size();
    }
    return ModemIdResult{std::nullopt, true};
}
