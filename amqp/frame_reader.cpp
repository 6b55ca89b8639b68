#include "frame_reader.h"

#include <QtEndian>

#include <cstring>

namespace amqp {

void FrameReader::compact()
{
    // Drop consumed bytes once they make up half the buffer; amortised O(1) per byte.
    if (m_pos == 0)
        return;
    if (m_pos == m_end) {
        m_pos = m_end = 0;
    } else if (m_pos >= m_end / 2) {
        std::memmove(m_buffer.data(), m_buffer.constData() + m_pos, size_t(m_end - m_pos));
        m_end -= m_pos;
        m_pos = 0;
    }
}

void FrameReader::append(const char* data, qint64 size)
{
    if (size <= 0)
        return;
    std::memcpy(reserve(size), data, size_t(size));
    commit(size);
}

char* FrameReader::reserve(qint64 size)
{
    compact();
    if (m_buffer.size() < m_end + size)
        m_buffer.resize(int(qMax<qint64>(m_end + size, qint64(m_buffer.size()) * 2)));
    return m_buffer.data() + m_end;
}

void FrameReader::commit(qint64 written)
{
    m_end += int(written);
}

FrameReader::Result FrameReader::next(FrameView& frame, QString* error)
{
    const int available = m_end - m_pos;
    if (available < FrameHeaderSize)
        return NeedMore;
    const char* at = m_buffer.constData() + m_pos;
    const quint8 type = quint8(at[0]);
    const quint32 size = qFromBigEndian<quint32>(at + 3);
    if (type != FrameMethod && type != FrameHeader && type != FrameBody && type != FrameHeartbeat) {
        *error = QStringLiteral("unknown frame type %1").arg(type);
        return Error;
    }
    // Check the stated size before waiting for it, so that it cannot overflow the buffer.
    if (size > m_frameMax - FrameOverhead) {
        *error = QStringLiteral("frame of %1 bytes exceeds frame_max %2").arg(size).arg(m_frameMax);
        return Error;
    }
    if (available < FrameOverhead + int(size))
        return NeedMore;
    if (quint8(at[FrameHeaderSize + size]) != FrameEnd) {
        *error = QStringLiteral("frame end octet is 0x%1, not 0xce")
                     .arg(quint8(at[FrameHeaderSize + size]), 2, 16, QLatin1Char('0'));
        return Error;
    }
    frame.type = type;
    frame.channel = qFromBigEndian<quint16>(at + 1);
    frame.payload = at + FrameHeaderSize;
    frame.size = int(size);
    m_pos += FrameOverhead + int(size);
    return Frame;
}

void FrameReader::reset()
{
    m_buffer.clear();
    m_pos = m_end = 0;
    m_frameMax = FrameMaxWanted;
}

} // namespace amqp
