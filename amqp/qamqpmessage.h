#pragma once

#include "amqp/qamqptable.h"

#include <QByteArray>
#include <QHash>
#include <QSharedDataPointer>
#include <QString>
#include <QVariant>

class QAmqpMessagePrivate;

// One delivered message: delivery tag, exchange, routing key, redelivered
// flag, basic properties and the body. A value type; copies share the body.
class QAmqpMessage {
public:
    // The basic properties, numbered as their flag bits on the wire.
    enum Property {
        ContentType = 0x8000,
        ContentEncoding = 0x4000,
        Headers = 0x2000,
        DeliveryMode = 0x1000,
        Priority = 0x0800,
        CorrelationId = 0x0400,
        ReplyTo = 0x0200,
        Expiration = 0x0100,
        MessageId = 0x0080,
        Timestamp = 0x0040,
        Type = 0x0020,
        UserId = 0x0010,
        AppId = 0x0008,
        ClusterID = 0x0004,
    };
    typedef QHash<Property, QVariant> PropertyHash;

    QAmqpMessage();
    QAmqpMessage(const QAmqpMessage& other);
    QAmqpMessage& operator=(const QAmqpMessage& other);
    ~QAmqpMessage();

    bool isValid() const;
    qlonglong deliveryTag() const;
    bool isRedelivered() const;
    QString exchangeName() const;
    QString routingKey() const;
    QByteArray payload() const;
    // The properties as the content header carried them (flags, then the
    // properties present); see amqp/basic_properties.h.
    QByteArray encodedProperties() const;
    bool hasProperty(Property property) const;
    QVariant property(Property property, const QVariant& defaultValue = QVariant()) const;
    PropertyHash properties() const;

private:
    friend class QAmqpQueue;
    QSharedDataPointer<QAmqpMessagePrivate> d;
};

inline uint qHash(QAmqpMessage::Property key, uint seed = 0)
{
    return ::qHash(int(key), seed);
}
