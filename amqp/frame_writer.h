#pragma once

#include "amqp_codec.h"
#include "amqp_frame.h"

#include <QByteArray>

namespace amqp {

// Appends frames to one output buffer that the connection hands to the socket
// in a single write per event-loop turn. The frames of one message (method,
// header, body) are appended together, so nothing can come between them.
class FrameWriter {
public:
    explicit FrameWriter(AmqpCodec& codec);

    void setFrameMax(quint32 frameMax) { m_frameMax = frameMax; }

    void protocolHeader();
    void heartbeat();
    bool method(quint16 channel, const Method& method, QString* error);
    // basic.publish (or another content method), its header and the body
    // split into frames of at most frame_max - 8 bytes; none for an empty body.
    bool content(quint16 channel, const Method& method, const QByteArray& body,
                 const QAmqpMessage::PropertyHash& properties, QString* error);
    // The same for a basic.publish whose properties are given as a property
    // list in its wire form (see basic_properties.h), written straight into
    // the buffer: the bytes content() makes, without a Method, a property hash
    // or a text conversion. Names take UTF-8 of at most 255 bytes; the header
    // frame must fit in frame_max.
    bool publish(quint16 channel, const QByteArray& exchange, const QByteArray& routingKey, bool mandatory,
                 bool immediate, const QByteArray& properties, const QByteArray& body, QString* error);
    // The method and header frames of that basic.publish only, for a body of
    // bodySize bytes whose frames the caller writes (bodyFrame() for each
    // piece of at most maxBodyFrame() bytes).
    bool publishHead(quint16 channel, const QByteArray& exchange, const QByteArray& routingKey, bool mandatory,
                     bool immediate, const QByteArray& properties, quint64 bodySize, QString* error);
    int maxBodyFrame() const { return int(m_frameMax) - FrameOverhead; }
    // One whole body frame of the size bytes at data, written to out (room for
    // size + FrameOverhead bytes); returns the frame's length.
    static int bodyFrame(quint16 channel, const char* data, int size, char* out);

    bool isEmpty() const { return m_out.isEmpty(); }
    qint64 size() const { return m_out.size(); }
    // The bytes written so far, to be handed to the transport; then
    // consumed() empties the writer (keeping a moderate buffer for reuse).
    const QByteArray& pending() const { return m_out; }
    void consumed();
    void clear() { m_out.clear(); }

private:
    int beginFrame(quint8 type, quint16 channel);
    void endFrame(int start);
    void bodyFrames(quint16 channel, const QByteArray& body);
    void shortString(const QByteArray& text);

    AmqpCodec& m_codec;
    QByteArray m_out;
    quint32 m_frameMax = FrameMinSize;
};

} // namespace amqp
