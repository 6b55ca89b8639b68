#include "frame_writer.h"

#include <QtEndian>

#include <cstring>

namespace amqp {

namespace {
constexpr int InitialCapacity = 16 * 1024;
constexpr int KeptCapacity = 1 << 20;
// A content header frame without its property list: frame header, class id,
// weight, body size, frame end.
constexpr int HeaderFrameSize = FrameHeaderSize + 12 + FrameEndSize;
} // namespace

FrameWriter::FrameWriter(AmqpCodec& codec) : m_codec(codec)
{
    m_out.reserve(InitialCapacity); // a reserved buffer survives resize(0)
}

int FrameWriter::beginFrame(quint8 type, quint16 channel)
{
    const int start = m_out.size();
    char header[FrameHeaderSize];
    header[0] = char(type);
    qToBigEndian<quint16>(channel, header + 1);
    qToBigEndian<quint32>(0, header + 3); // size, filled in by endFrame
    m_out.append(header, FrameHeaderSize);
    return start;
}

void FrameWriter::endFrame(int start)
{
    const quint32 size = quint32(m_out.size() - start - FrameHeaderSize);
    qToBigEndian<quint32>(size, m_out.data() + start + 3);
    m_out.append(char(FrameEnd));
}

void FrameWriter::protocolHeader()
{
    m_out.append("AMQP\x00\x00\x09\x01", 8);
}

void FrameWriter::heartbeat()
{
    endFrame(beginFrame(FrameHeartbeat, 0));
}

bool FrameWriter::method(quint16 channel, const Method& method, QString* error)
{
    const int start = beginFrame(FrameMethod, channel);
    if (!m_codec.encodeMethod(method, m_out, error)) {
        m_out.truncate(start);
        return false;
    }
    if (m_out.size() - start + FrameEndSize > int(m_frameMax)) { // the broker would close the connection for it
        m_out.truncate(start);
        *error = QStringLiteral("%1 does not fit in one frame").arg(methodName(method.id));
        return false;
    }
    endFrame(start);
    return true;
}

bool FrameWriter::content(quint16 channel, const Method& publish, const QByteArray& body,
                          const QAmqpMessage::PropertyHash& properties, QString* error)
{
    const int start = m_out.size();
    if (!method(channel, publish, error))
        return false;
    const int header = beginFrame(FrameHeader, channel);
    if (!m_codec.encodeContentHeader(BasicClass, quint64(body.size()), properties, m_out, error)
        || m_out.size() - header + FrameEndSize > int(m_frameMax)) {
        if (error->isEmpty())
            *error = QStringLiteral("message properties do not fit in one frame");
        m_out.truncate(start);
        return false;
    }
    endFrame(header);
    bodyFrames(channel, body);
    return true;
}

bool FrameWriter::publish(quint16 channel, const QByteArray& exchange, const QByteArray& routingKey, bool mandatory,
                          bool immediate, const QByteArray& properties, const QByteArray& body, QString* error)
{
    if (!publishHead(channel, exchange, routingKey, mandatory, immediate, properties, quint64(body.size()), error))
        return false;
    bodyFrames(channel, body);
    return true;
}

int FrameWriter::bodyFrame(quint16 channel, const char* data, int size, char* out)
{
    out[0] = char(FrameBody);
    qToBigEndian<quint16>(channel, out + 1);
    qToBigEndian<quint32>(quint32(size), out + 3);
    std::memcpy(out + FrameHeaderSize, data, size_t(size));
    out[FrameHeaderSize + size] = char(FrameEnd);
    return size + FrameOverhead;
}

bool FrameWriter::publishHead(quint16 channel, const QByteArray& exchange, const QByteArray& routingKey,
                              bool mandatory, bool immediate, const QByteArray& properties, quint64 bodySize,
                              QString* error)
{
    if (exchange.size() > 255 || routingKey.size() > 255) {
        *error = QStringLiteral("basic.publish: a name is longer than 255 bytes");
        return false;
    }
    if (properties.size() < 2 || HeaderFrameSize + properties.size() > int(m_frameMax)) {
        *error = QStringLiteral("message properties do not fit in one frame");
        return false;
    }
    // The method frame is far below the smallest frame_max, whatever the names.
    int frame = beginFrame(FrameMethod, channel);
    char fixed[14];
    qToBigEndian<quint32>(quint32(BasicPublish), fixed);
    qToBigEndian<quint16>(0, fixed + 4); // reserved (ticket)
    m_out.append(fixed, 6);
    shortString(exchange);
    shortString(routingKey);
    m_out.append(char((mandatory ? 1 : 0) | (immediate ? 2 : 0)));
    endFrame(frame);

    frame = beginFrame(FrameHeader, channel);
    qToBigEndian<quint16>(BasicClass, fixed);
    qToBigEndian<quint16>(0, fixed + 2); // weight
    qToBigEndian<quint64>(bodySize, fixed + 4);
    m_out.append(fixed, 12);
    m_out.append(properties);
    endFrame(frame);
    return true;
}

void FrameWriter::shortString(const QByteArray& text)
{
    m_out.append(char(text.size()));
    m_out.append(text);
}

void FrameWriter::bodyFrames(quint16 channel, const QByteArray& body)
{
    const int chunk = int(m_frameMax) - FrameOverhead;
    const int needed = m_out.size() + body.size() + (body.size() / chunk + 1) * FrameOverhead;
    if (needed > m_out.capacity()) // grow geometrically: no reallocation per publish
        m_out.reserve(qMax(needed, 2 * m_out.capacity()));
    for (int offset = 0; offset < body.size(); offset += chunk) {
        const int frame = beginFrame(FrameBody, channel);
        m_out.append(body.constData() + offset, qMin(chunk, body.size() - offset));
        endFrame(frame);
    }
}

void FrameWriter::consumed()
{
    if (m_out.capacity() > KeptCapacity) { // after a large message, give the memory back
        m_out.clear();
        m_out.reserve(InitialCapacity);
    } else {
        m_out.resize(0);
    }
}

} // namespace amqp
