#include "qamqpqueue.h"

#include "qamqpmessage_p.h"

#include <QPointer>

using namespace amqp;

QAmqpQueue::QAmqpQueue(const QString& name, QAmqpClient* client) : QAmqpChannel(name, client) {}

void QAmqpQueue::declare(int options, const QAmqpTable& arguments)
{
    Method m(QueueDeclare);
    m.queue = name();
    m.passive = options & Passive;
    m.durable = options & Durable;
    m.exclusive = options & Exclusive;
    m.autoDelete = options & AutoDelete;
    m.noWait = options & NoWait;
    m.table = arguments;
    whenOpen([this, m] {
        // With no-wait the broker sends no declare-ok; the declaration counts as done once sent.
        if (sendMethod(m) && m.noWait)
            emit declared();
    });
}

void QAmqpQueue::bind(const QString& exchangeName, const QString& key)
{
    Method m(QueueBind);
    m.queue = name();
    m.exchange = exchangeName;
    m.routingKey = key;
    whenOpen([this, m] { sendMethod(m); });
}

void QAmqpQueue::consume(int options)
{
    Method m(BasicConsume);
    m.queue = name();
    m.noLocal = options & coNoLocal;
    m.noAck = options & coNoAck;
    m.exclusive = options & coExclusive;
    m.noWait = options & coNoWait;
    if (m.noWait) // no consume-ok will name the tag, so choose it here
        m.consumerTag = QStringLiteral("shardex-%1-%2").arg(channelNumber()).arg(openCount());
    whenOpen([this, m] {
        if (sendMethod(m) && m.noWait) {
            m_consumerTag = m.consumerTag;
            emit consuming(m_consumerTag);
        }
    });
}

void QAmqpQueue::cancel(bool noWait)
{
    whenOpen([this, noWait] {
        if (m_consumerTag.isEmpty())
            return;
        Method m(BasicCancel);
        m.consumerTag = m_consumerTag;
        m.noWait = noWait;
        if (sendMethod(m) && noWait) {
            const QString tag = m_consumerTag;
            m_consumerTag.clear();
            emit cancelled(tag);
        }
    });
}

bool QAmqpQueue::settle(const Method& m)
{
    return isOpen() && sendMethod(m);
}

bool QAmqpQueue::ack(qlonglong deliveryTag, bool multiple)
{
    Method m(BasicAck);
    m.deliveryTag = quint64(deliveryTag);
    m.multiple = multiple;
    return settle(m);
}

bool QAmqpQueue::reject(qlonglong deliveryTag, bool requeue)
{
    Method m(BasicReject);
    m.deliveryTag = quint64(deliveryTag);
    m.requeue = requeue;
    return settle(m);
}

bool QAmqpQueue::nack(qlonglong deliveryTag, bool multiple, bool requeue)
{
    Method m(BasicNack);
    m.deliveryTag = quint64(deliveryTag);
    m.multiple = multiple;
    m.requeue = requeue;
    return settle(m);
}

void QAmqpQueue::channelLost()
{
    // Unacknowledged deliveries of a lost channel go back to the queue on the
    // broker; their tags mean nothing on the next channel.
    clear();
    m_consumerTag.clear();
}

void QAmqpQueue::handleMethod(const Method& m)
{
    switch (m.id) {
    case QueueDeclareOk:
        m_messageCount = m.messageCount;
        emit declared();
        return;
    case QueueBindOk: emit bound(); return;
    case BasicConsumeOk:
        m_consumerTag = m.consumerTag;
        emit consuming(m.consumerTag);
        return;
    case BasicCancelOk:
        if (m.consumerTag == m_consumerTag)
            m_consumerTag.clear();
        emit cancelled(m.consumerTag);
        return;
    case BasicCancel: { // the queue was deleted, or its node went away
        if (!m.noWait) {
            Method ok(BasicCancelOk);
            ok.consumerTag = m.consumerTag;
            sendMethod(ok);
        }
        if (m.consumerTag == m_consumerTag)
            m_consumerTag.clear();
        emit consumerCancelled(m.consumerTag);
        return;
    }
    default: return;
    }
}

void QAmqpQueue::handleContent(const Method& m, QByteArray&& properties, QByteArray&& body)
{
    if (m.id != BasicDeliver)
        return; // basic.get-ok or basic.return: this client never asks for them
    QAmqpMessage message;
    QAmqpMessagePrivate* priv = message.d.data();
    priv->valid = true;
    priv->deliveryTag = m.deliveryTag;
    priv->redelivered = m.redelivered;
    priv->exchange = m.exchange;
    priv->routingKey = m.routingKey;
    priv->encodedProperties = std::move(properties);
    priv->payload = std::move(body);
    enqueue(message);
    emit messageReceived();
}
