#pragma once

#include "qamqpchannel.h"
#include "qamqpmessage.h"
#include "amqp/qamqptable.h"

#include <QQueue>

// A queue on its own channel. Deliveries are appended to this object's own
// first-in-first-out list, then messageReceived() is emitted once for each.
class QAmqpQueue : public QAmqpChannel, public QQueue<QAmqpMessage> {
    Q_OBJECT
public:
    // queue.declare flag bits.
    enum QueueOption { Passive = 0x01, Durable = 0x02, Exclusive = 0x04, AutoDelete = 0x08, NoWait = 0x10 };
    // basic.consume flag bits.
    enum ConsumeOption { coNoLocal = 0x01, coNoAck = 0x02, coExclusive = 0x04, coNoWait = 0x08 };

    void declare(int options = Durable | AutoDelete, const QAmqpTable& arguments = QAmqpTable());
    void bind(const QString& exchangeName, const QString& key);
    void consume(int options = 0);
    void cancel(bool noWait = false);
    // Sent only while the channel is open (false otherwise): a tag of an
    // earlier opening would name another delivery, or none, on this one.
    bool ack(qlonglong deliveryTag, bool multiple);
    bool reject(qlonglong deliveryTag, bool requeue);
    bool nack(qlonglong deliveryTag, bool multiple, bool requeue);

    QString consumerTag() const { return m_consumerTag; }
    bool isConsuming() const { return !m_consumerTag.isEmpty(); }
    quint32 messageCount() const { return m_messageCount; }

signals:
    void declared();
    void bound();
    void consuming(const QString& consumerTag);
    void cancelled(const QString& consumerTag);
    // The broker ended the consumer by itself (the queue was deleted, ...).
    void consumerCancelled(const QString& consumerTag);
    void messageReceived();

protected:
    void channelLost() override;
    void handleMethod(const amqp::Method& method) override;
    void handleContent(const amqp::Method& method, QByteArray&& properties, QByteArray&& body) override;

private:
    friend class QAmqpClient;
    QAmqpQueue(const QString& name, QAmqpClient* client);
    bool settle(const amqp::Method& method);

    QString m_consumerTag;
    quint32 m_messageCount = 0;
};
