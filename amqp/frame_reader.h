#pragma once

#include "amqp_frame.h"

#include <QByteArray>
#include <QString>

namespace amqp {

// Cuts a byte stream into frames. The header of each frame is checked as soon
// as its seven bytes are there (known type, size within frame_max), before the
// reader waits for the payload, so a bad peer cannot make it buffer a huge frame.
class FrameReader {
public:
    enum Result { NeedMore, Frame, Error };

    // Before tuning, frames up to the size this client asks for are accepted.
    void setFrameMax(quint32 frameMax) { m_frameMax = frameMax; }
    quint32 frameMax() const { return m_frameMax; }

    // Appends received bytes; the space of frames already taken is reused.
    void append(const char* data, qint64 size);
    // Room for up to `size` bytes at the end of the buffer, to read into
    // directly; commit() then says how many were written.
    char* reserve(qint64 size);
    void commit(qint64 written);

    // The next complete frame, NeedMore, or Error with a reason (the stream
    // cannot be trusted after that; the connection has to end).
    Result next(FrameView& frame, QString* error);

    void reset();
    qint64 buffered() const { return m_end - m_pos; }

private:
    void compact();

    QByteArray m_buffer; // storage; the bytes [m_pos, m_end) are unread
    int m_pos = 0;
    int m_end = 0;
    quint32 m_frameMax = FrameMaxWanted;
};

} // namespace amqp
