#include "qamqpexchange.h"

#include "basic_properties.h"

#include <QPointer>

#include <optional>

using namespace amqp;

QAmqpExchange::QAmqpExchange(const QString& name, QAmqpClient* client)
    : QAmqpChannel(name, client), m_nameUtf8(name.toUtf8())
{
}

void QAmqpExchange::declare(const QString& type, int options, const QAmqpTable& arguments)
{
    Method m(ExchangeDeclare);
    m.exchange = name();
    m.exchangeType = type;
    m.passive = options & Passive;
    m.durable = options & Durable;
    m.autoDelete = options & AutoDelete;
    m.internal = options & Internal;
    m.noWait = options & NoWait;
    m.table = arguments;
    whenOpen([this, m] {
        if (sendMethod(m) && m.noWait)
            emit declared();
    });
}

void QAmqpExchange::enableConfirms()
{
    if (m_confirms)
        return;
    m_confirms = true;
    if (isOpen())
        channelOpened();
}

void QAmqpExchange::channelOpened()
{
    if (!m_confirms)
        return;
    // Sent before any queued publish, so the broker numbers them from 1.
    Method select(ConfirmSelect);
    sendMethod(select);
    m_firstSequence = m_nextSequence = 1;
    m_returnFloor = 0;
}

quint64 QAmqpExchange::publish(const QByteArray& message, const QByteArray& routingKey, const QByteArray& contentType,
                               int publishOptions)
{
    return publishEncoded(message, routingKey, basic_properties::withContentType(contentType), publishOptions);
}

quint64 QAmqpExchange::publishEncoded(const QByteArray& message, const QByteArray& routingKey,
                                      const QByteArray& properties, int publishOptions)
{
    const quint64 id = ++m_lastId;
    if (writesNow()) {
        sendEncoded(id, message, routingKey, properties, publishOptions);
        return id;
    }
    sendWhenOpen(id, [this, id, message, routingKey, properties, publishOptions] {
        sendEncoded(id, message, routingKey, properties, publishOptions);
    });
    return id;
}

quint64 QAmqpExchange::publish(const QByteArray& message, const QString& routingKey, const QString& mimeType,
                               const QAmqpMessage::PropertyHash& properties, int publishOptions)
{
    if (properties.isEmpty() && writesNow())
        return publish(message, routingKey.toUtf8(), mimeType.toUtf8(), publishOptions);
    const quint64 id = ++m_lastId;
    Method m(BasicPublish);
    m.exchange = name();
    m.routingKey = routingKey;
    m.mandatory = publishOptions & poMandatory;
    m.immediate = publishOptions & poImmediate;
    QAmqpMessage::PropertyHash props = properties;
    if (!mimeType.isEmpty())
        props.insert(QAmqpMessage::ContentType, mimeType);
    if (writesNow()) {
        send(id, m, message, props);
        return id;
    }
    sendWhenOpen(id, [this, id, m, message, props] { send(id, m, message, props); });
    return id;
}

void QAmqpExchange::sendWhenOpen(quint64 id, std::function<void()> publication)
{
    // Until the channel opens, or the broker turns flow on again; a publish
    // the channel drops instead (closed for good) fails.
    ++m_queued;
    whenOpen(
        [this, publication = std::move(publication)] {
            --m_queued;
            publication();
        },
        [this, id] {
            --m_queued;
            if (m_confirms)
                emit failed(id);
        },
        true);
}

void QAmqpExchange::sendEncoded(quint64 id, const QByteArray& message, const QByteArray& routingKey,
                                const QByteArray& properties, int publishOptions)
{
    QString error;
    const bool ok = sendPublish(m_nameUtf8, routingKey, publishOptions, properties, message, &error);
    const bool mandatory = publishOptions & poMandatory;
    sent(id, ok, mandatory, mandatory ? routingKey : QByteArray(), message);
}

void QAmqpExchange::send(quint64 id, const Method& m, const QByteArray& body,
                         const QAmqpMessage::PropertyHash& properties)
{
    QString error;
    const bool ok = sendContent(m, body, properties, &error);
    sent(id, ok, m.mandatory, m.mandatory ? m.routingKey.toUtf8() : QByteArray(), body);
}

void QAmqpExchange::sent(quint64 id, bool ok, bool mandatory, const QByteArray& routingKey, const QByteArray& body)
{
    if (!m_confirms)
        return;
    if (!ok) {
        // Not connected any more, a name too long, or properties too large for a frame.
        failLater(id);
        return;
    }
    m_unconfirmed.push_back(Unconfirmed{id, false, false, mandatory, routingKey, mandatory ? fingerprint(body) : 0});
    ++m_nextSequence;
}

void QAmqpExchange::failLater(quint64 id)
{
    // Reported from the event loop: the caller has not yet seen the id.
    QMetaObject::invokeMethod(this, [this, id] { emit failed(id); }, Qt::QueuedConnection);
}

void QAmqpExchange::settle(quint64 sequence, bool multiple, bool ok)
{
    if (sequence < m_firstSequence || sequence >= m_firstSequence + m_unconfirmed.size())
        return; // settled before (a multiple confirm overlapping an earlier one) or never sent
    const QPointer<QAmqpExchange> guard(this);
    const size_t index = size_t(sequence - m_firstSequence);
    const size_t from = multiple ? 0 : index;
    m_returnFloor = qMax(m_returnFloor, sequence);
    // Take the settled ids out before emitting: a slot may publish again. A
    // returned publish reached no queue: its confirm does not make it delivered.
    QVector<QPair<quint64, bool>> ids;
    for (size_t i = from; i <= index; ++i) {
        Unconfirmed& u = m_unconfirmed[i];
        if (!u.settled) {
            u.settled = true;
            ids.append({u.id, ok && !u.returned});
        }
    }
    while (!m_unconfirmed.empty() && m_unconfirmed.front().settled) {
        m_unconfirmed.pop_front();
        ++m_firstSequence;
    }
    for (const auto& [id, delivered] : ids) {
        if (delivered)
            emit confirmed(id);
        else
            emit failed(id);
        if (!guard)
            return;
    }
}

void QAmqpExchange::channelLost()
{
    QVector<quint64> ids;
    for (const Unconfirmed& u : m_unconfirmed) {
        if (!u.settled)
            ids.append(u.id);
    }
    m_unconfirmed.clear();
    m_firstSequence = m_nextSequence = 1;
    m_returnFloor = 0;
    const QPointer<QAmqpExchange> guard(this);
    for (quint64 id : ids) {
        emit failed(id);
        if (!guard)
            return;
    }
}

void QAmqpExchange::handleMethod(const Method& m)
{
    switch (m.id) {
    case ExchangeDeclareOk: emit declared(); return;
    case BasicAck: settle(m.deliveryTag, m.multiple, true); return;
    case BasicNack: settle(m.deliveryTag, m.multiple, false); return;
    default: return; // confirm.select-ok, ...
    }
}

void QAmqpExchange::handleContent(const Method& m, QByteArray&&, QByteArray&& body)
{
    if (m.id == BasicReturn)
        takeReturn(m, body);
}

quint64 QAmqpExchange::fingerprint(const QByteArray& body)
{
    constexpr int edge = 64;
    const int size = body.size();
    const uint head = qHashBits(body.constData(), size_t(qMin(size, edge)), uint(size));
    const uint tail = size > edge ? qHashBits(body.constData() + size - edge, edge, head) : head;
    return (quint64(head) << 32) | tail;
}

void QAmqpExchange::takeReturn(const Method& m, const QByteArray& body)
{
    // basic.return names no publish. It is the first unsettled mandatory
    // publish above the floor with the returned routing key and body; when
    // none has that body's fingerprint, the first with that key. A return
    // that matches no publish (not mandatory, or already settled) is ignored.
    const QByteArray key = m.routingKey.toUtf8();
    const quint64 returnedBody = fingerprint(body);
    std::optional<size_t> match;
    for (size_t i = 0; i < m_unconfirmed.size(); ++i) {
        const Unconfirmed& u = m_unconfirmed[i];
        if (m_firstSequence + i <= m_returnFloor || u.settled || u.returned || !u.mandatory || u.routingKey != key)
            continue;
        if (u.fingerprint == returnedBody) {
            match = i;
            break;
        }
        if (!match)
            match = i;
    }
    if (!match)
        return;
    Unconfirmed& u = m_unconfirmed[*match];
    u.returned = true;
    m_returnFloor = m_firstSequence + *match;
    emit returned(u.id, m.replyCode, m.replyText, m.routingKey);
}
