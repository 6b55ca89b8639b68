#pragma once

#include "qamqpchannel.h"
#include "qamqpmessage.h"

#include <deque>

// Publishes to one exchange on its own channel. The exchange is not declared:
// it has to exist on the broker (a publish to a missing one makes the broker
// close the channel, which then opens again).
//
// With confirms enabled, every publish is answered by exactly one confirmed()
// or failed() naming the id that publish() returned: failed when the broker
// nacks it, returns it (a mandatory publish no queue took: returned() comes
// first), or when the channel or the connection goes away first.
class QAmqpExchange : public QAmqpChannel {
    Q_OBJECT
public:
    enum PublishOption { poNoOptions = 0x00, poMandatory = 0x01, poImmediate = 0x02 };
    enum ExchangeOption { Passive = 0x01, Durable = 0x02, AutoDelete = 0x04, Internal = 0x08, NoWait = 0x10 };

    // exchange.declare with a type ("direct", "fanout", "topic", "headers"); declared() follows.
    void declare(const QString& type = QStringLiteral("direct"), int options = 0,
                 const QAmqpTable& arguments = QAmqpTable());

    // Puts the channel in confirm mode now and at every later opening.
    void enableConfirms();
    // Publishes waiting for their confirm, or for the channel to open.
    int unconfirmedCount() const { return int(m_unconfirmed.size()) + m_queued; }

    // Returns the publish's id (from 1, never reused by this object). The
    // message waits, in order, while the channel is not open or its flow is off.
    quint64 publish(const QByteArray& message, const QString& routingKey, const QString& mimeType,
                    const QAmqpMessage::PropertyHash& properties = QAmqpMessage::PropertyHash(),
                    int publishOptions = poNoOptions);
    // The same with no property but the content type, given with the routing
    // key as UTF-8.
    quint64 publish(const QByteArray& message, const QByteArray& routingKey, const QByteArray& contentType,
                    int publishOptions = poNoOptions);
    // The same with the properties as a property list in its wire form (see
    // basic_properties.h), such as a delivery carried: encoded straight into
    // the connection's output, without conversions or a property hash.
    quint64 publishEncoded(const QByteArray& message, const QByteArray& routingKey, const QByteArray& properties,
                           int publishOptions = poNoOptions);

signals:
    void declared();
    void confirmed(quint64 id);
    void failed(quint64 id);
    // The broker returned the mandatory publish `id` (no queue took it), with
    // its reply code and text; failed(id) follows with its confirm.
    void returned(quint64 id, int replyCode, const QString& replyText, const QString& routingKey);

protected:
    void channelOpened() override;
    void channelLost() override;
    void handleMethod(const amqp::Method& method) override;
    void handleContent(const amqp::Method& method, QByteArray&& properties, QByteArray&& body) override;

private:
    friend class QAmqpClient;
    QAmqpExchange(const QString& name, QAmqpClient* client);
    void send(quint64 id, const amqp::Method& method, const QByteArray& body,
              const QAmqpMessage::PropertyHash& properties);
    void sendEncoded(quint64 id, const QByteArray& message, const QByteArray& routingKey, const QByteArray& properties,
                     int publishOptions);
    // Sends publication `id` once the channel is open and flow is on.
    void sendWhenOpen(quint64 id, std::function<void()> publication);
    // A publication goes out now (open channel, flow on, none queued before
    // it); otherwise it waits in order for the channel.
    bool writesNow() const { return isOpen() && isFlowActive() && m_queued == 0; }
    // Accounts for a publication that went out, or reports it failed. A
    // mandatory one keeps its routing key and the body's fingerprint until its
    // confirm, to be told from the others when the broker returns it.
    void sent(quint64 id, bool ok, bool mandatory = false, const QByteArray& routingKey = QByteArray(),
              const QByteArray& body = QByteArray());
    void settle(quint64 sequence, bool multiple, bool ok);
    void failLater(quint64 id);
    void takeReturn(const amqp::Method& method, const QByteArray& body);

    struct Unconfirmed {
        quint64 id;
        bool settled;
        bool returned;
        bool mandatory;
        QByteArray routingKey; // of a mandatory publish
        quint64 fingerprint;   // of its body (the body itself is not held)
    };
    // The body's size and its first and last bytes: cheap for any body, and
    // enough to tell publishes under one routing key apart.
    static quint64 fingerprint(const QByteArray& body);
    QByteArray m_nameUtf8; // the exchange's name as publications carry it
    bool m_confirms = false;
    quint64 m_lastId = 0;
    int m_queued = 0;                       // publishes waiting for the channel to open
    quint64 m_firstSequence = 1;            // broker sequence number of m_unconfirmed.front()
    quint64 m_nextSequence = 1;             // the next publish's sequence number on this channel
    std::deque<Unconfirmed> m_unconfirmed;  // in sequence order
    // No publish up to this sequence number can be returned any more: the
    // broker returns a publish before it confirms it or any later one, and
    // returns publishes in order.
    quint64 m_returnFloor = 0;
};
