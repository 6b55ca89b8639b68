#include "qamqpchannel.h"

#include "qamqpclient.h"
#include "qamqpclient_p.h"

#include <QPointer>

#include <cstring>

using namespace amqp;

namespace {
// A broker accepts messages of 512 MiB at the very most (128 MiB by default);
// a larger announced body is a broken stream. A body up to the default
// maximum gets its whole size at once: growing it step by step made the
// allocator copy it and keep the old blocks, up to twice the body in memory
// (pages reserved but not yet filled take none). Above that, memory is
// reserved in steps, never for the whole claim.
constexpr quint64 MaxBodySize = quint64(512) << 20;
constexpr quint64 BodyReservedAtOnce = quint64(128) << 20;
constexpr int BodyReserveStep = 4 << 20;
// A body that comes in one frame gets this many zero bytes of spare room
// behind its end, so that a parser which reads in blocks past the end (a SIMD
// JSON parser) can read it where it is instead of copying it.
constexpr int BodySpare = 64;
} // namespace

QAmqpChannel::QAmqpChannel(const QString& name, QAmqpClient* client) : QObject(client), m_client(client), m_name(name)
{
}

QAmqpChannel::~QAmqpChannel()
{
    if (m_client)
        m_client->d->channelDestroyed(this);
}

void QAmqpChannel::reportLater(int code, const QString& text)
{
    QMetaObject::invokeMethod(this, [this, code, text] { emit error(code, text); }, Qt::QueuedConnection);
}

void QAmqpChannel::qos(qint16 prefetchCount, qint32 prefetchSize)
{
    Method m(BasicQos);
    m.prefetchCount = quint16(prefetchCount); // the low 16 bits, as the broker reads them
    m.prefetchSize = quint32(prefetchSize);
    whenOpen([this, m] { sendMethod(m); });
}

void QAmqpChannel::whenOpen(std::function<void()> send, std::function<void()> discard, bool content)
{
    if (m_state == Open && m_calls.isEmpty() && (!content || m_flowActive)) {
        send();
        return;
    }
    if (!m_client) { // retired: nothing will ever go out
        if (discard)
            discard();
        return;
    }
    m_calls.append(Call{std::move(send), std::move(discard), content});
}

void QAmqpChannel::runCalls()
{
    // A call may itself queue more, which then run in this same pass.
    const QPointer<QAmqpChannel> guard(this);
    while (guard && m_state == Open && !m_calls.isEmpty() && (m_flowActive || !m_calls.first().content)) {
        const Call call = m_calls.takeFirst();
        call.send();
    }
}

bool QAmqpChannel::sendMethod(const Method& method)
{
    if (!m_client || !m_client->d->isConnected())
        return false; // the connection reports its own end
    QString error;
    if (!m_client->d->sendMethod(m_number, method, &error)) {
        reportLater(QAmqpError::Unencodable, QStringLiteral("cannot send ") + methodName(method.id) + QStringLiteral(": ") + error);
        return false;
    }
    return true;
}

bool QAmqpChannel::sendContent(const Method& method, const QByteArray& body,
                               const QAmqpMessage::PropertyHash& properties, QString* error)
{
    if (!m_client) {
        *error = QStringLiteral("the channel is no longer in use");
        return false;
    }
    return m_client->d->sendContent(m_number, method, body, properties, error);
}

bool QAmqpChannel::sendPublish(const QByteArray& exchange, const QByteArray& routingKey, int options,
                               const QByteArray& properties, const QByteArray& body, QString* error)
{
    if (!m_client) {
        *error = QStringLiteral("the channel is no longer in use");
        return false;
    }
    return m_client->d->sendPublish(m_number, exchange, routingKey, options, properties, body, error);
}

void QAmqpChannel::beginOpen()
{
    m_content = NoContent;
    m_body.clear();
    m_flowActive = true;
    if (sendMethod(Method(ChannelOpen)))
        m_state = Opening;
}

void QAmqpChannel::discardCalls()
{
    const QPointer<QAmqpChannel> guard(this);
    const QList<Call> calls = m_calls;
    m_calls.clear();
    for (const Call& call : calls) {
        if (call.discard)
            call.discard();
        if (!guard)
            return;
    }
}

void QAmqpChannel::connectionLost()
{
    const bool wasUp = m_state != Closed;
    m_state = Closed;
    m_content = NoContent;
    m_body.clear();
    const QPointer<QAmqpChannel> guard(this);
    discardCalls();
    if (!guard)
        return;
    channelLost();
    if (guard && wasUp)
        emit closed();
}

QAmqpChannel::FrameResult QAmqpChannel::handleMethodFrame(Method&& m)
{
    if (m_content != NoContent)
        return {UnexpectedFrame, QStringLiteral("%1 in the middle of a message on channel %2")
                                     .arg(methodName(m.id))
                                     .arg(m_number)};
    const QPointer<QAmqpChannel> guard(this);
    switch (m.id) {
    case ChannelOpenOk: {
        if (m_state != Opening)
            return {UnexpectedFrame, QStringLiteral("channel.open-ok for channel %1, which did not ask").arg(m_number)};
        m_state = Open;
        ++m_openCount;
        channelOpened();
        runCalls(); // those made before the channel opened, in order
        if (guard && m_state == Open)
            emit opened();
        return {};
    }
    case ChannelClose: {
        sendMethod(Method(ChannelCloseOk));
        m_state = Closed;
        discardCalls();
        if (!guard)
            return {};
        channelLost();
        if (!guard)
            return {};
        emit error(m.replyCode, m.replyText);
        if (!guard)
            return {};
        // Open again at once; the owner sets up what it needs on error().
        if (m_client && m_state == Closed)
            m_client->d->openChannel(this);
        return {};
    }
    case ChannelCloseOk:
        // Registered channels are never closed by the client (those of deleted
        // objects are answered elsewhere): an unasked close-ok would leave this
        // one closed for good, with its calls waiting forever.
        return {UnexpectedFrame, QStringLiteral("channel.close-ok for channel %1, which did not close").arg(m_number)};
    case ChannelFlow: {
        Method ok(ChannelFlowOk);
        ok.active = m.active;
        sendMethod(ok);
        if (m.active == m_flowActive)
            return {};
        m_flowActive = m.active;
        emit flowChanged(m_flowActive);
        if (guard && m_flowActive)
            runCalls(); // the publications that waited for it
        return {};
    }
    case BasicQosOk: emit qosDefined(); return {};
    case BasicDeliver:
    case BasicReturn:
    case BasicGetOk:
        if (m_state != Open)
            return {UnexpectedFrame, QStringLiteral("%1 on channel %2, which is not open").arg(methodName(m.id)).arg(m_number)};
        m_contentMethod = std::move(m); // a 20-field record: moved, not copied
        m_content = ExpectHeader;
        return {};
    default:
        if (m_state != Open)
            return {UnexpectedFrame, QStringLiteral("%1 on channel %2, which is not open").arg(methodName(m.id)).arg(m_number)};
        handleMethod(m); // what a channel of this kind does not expect is ignored
        return {};
    }
}

QAmqpChannel::FrameResult QAmqpChannel::handleHeaderFrame(const char* data, int size)
{
    if (m_content != ExpectHeader)
        return {UnexpectedFrame, QStringLiteral("content header on channel %1 without a content method").arg(m_number)};
    amqp::ContentHeader header;
    QString error;
    if (!m_client->d->codec.decodeContentHeader(data, size, header, &error))
        return {SyntaxError, error};
    if (header.bodySize > MaxBodySize)
        return {FrameError, QStringLiteral("announced body of %1 bytes exceeds %2").arg(header.bodySize).arg(MaxBodySize)};
    m_contentProperties = std::move(header.properties);
    m_bodySize = header.bodySize;
    m_body = QByteArray();
    if (m_bodySize == 0) {
        finishContent();
        return {};
    }
    m_content = ExpectBody;
    return {};
}

QAmqpChannel::FrameResult QAmqpChannel::handleBodyFrame(const char* data, int size)
{
    if (m_content != ExpectBody)
        return {UnexpectedFrame, QStringLiteral("body frame on channel %1 without a content header").arg(m_number)};
    if (quint64(m_body.size()) + quint64(size) > m_bodySize)
        return {FrameError, QStringLiteral("body frames on channel %1 exceed the announced %2 bytes")
                                .arg(m_number)
                                .arg(m_bodySize)};
    if (m_body.isEmpty() && quint64(size) == m_bodySize) {
        // The common case: one frame, one allocation.
        m_body.reserve(size + BodySpare);
        m_body.append(data, size);
        std::memset(m_body.data() + size, 0, BodySpare);
    } else {
        if (m_body.isEmpty())
            m_body.reserve(int(m_bodySize <= BodyReservedAtOnce ? m_bodySize : BodyReserveStep));
        else if (m_body.size() + size > m_body.capacity() && m_bodySize > BodyReservedAtOnce)
            m_body.reserve(int(qMin<quint64>(m_bodySize, quint64(m_body.capacity()) + BodyReserveStep)));
        m_body.append(data, size);
    }
    if (quint64(m_body.size()) == m_bodySize)
        finishContent();
    return {};
}

void QAmqpChannel::finishContent()
{
    // Reset before handing the message on: the handler may run a nested event
    // loop in which the next message of this channel arrives.
    m_content = NoContent;
    const Method method = std::move(m_contentMethod);
    handleContent(method, std::move(m_contentProperties), std::move(m_body));
    // `this` may be gone here.
}
