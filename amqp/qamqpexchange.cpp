#include "qamqpexchange.h"

#include <QPointer>

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
}

quint64 QAmqpExchange::publish(const QByteArray& message, const QByteArray& routingKey, const QByteArray& contentType,
                               int publishOptions)
{
    if (!writesNow()) {
        QAmqpMessage::PropertyHash properties;
        if (!contentType.isEmpty())
            properties.insert(QAmqpMessage::ContentType, QString::fromUtf8(contentType));
        return publish(message, QString::fromUtf8(routingKey), QString(), properties, publishOptions);
    }
    const quint64 id = ++m_lastId;
    QString error;
    sent(id, sendPublish(m_nameUtf8, routingKey, publishOptions, contentType, message, &error));
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
    // Until the channel opens, or the broker turns flow on again.
    ++m_queued;
    whenOpen(
        [this, id, m, message, props] {
            --m_queued;
            send(id, m, message, props);
        },
        [this, id] {
            --m_queued;
            if (m_confirms)
                emit failed(id);
        },
        true);
    return id;
}

void QAmqpExchange::send(quint64 id, const Method& m, const QByteArray& body,
                         const QAmqpMessage::PropertyHash& properties)
{
    QString error;
    sent(id, sendContent(m, body, properties, &error));
}

void QAmqpExchange::sent(quint64 id, bool ok)
{
    if (!m_confirms)
        return;
    if (!ok) {
        // Not connected any more, a name too long, or properties too large for a frame.
        failLater(id);
        return;
    }
    m_unconfirmed.push_back(Unconfirmed{id, false});
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
    // Take the settled ids out before emitting: a slot may publish again.
    QVector<quint64> ids;
    for (size_t i = from; i <= index; ++i) {
        if (!m_unconfirmed[i].settled) {
            m_unconfirmed[i].settled = true;
            ids.append(m_unconfirmed[i].id);
        }
    }
    while (!m_unconfirmed.empty() && m_unconfirmed.front().settled) {
        m_unconfirmed.pop_front();
        ++m_firstSequence;
    }
    for (quint64 id : ids) {
        if (ok)
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

void QAmqpExchange::handleContent(const Method&, QAmqpMessage::PropertyHash&&, QByteArray&&)
{
    // basic.return comes only for mandatory or immediate publishes; a broker
    // that sends one anyway gets its message ignored.
}
