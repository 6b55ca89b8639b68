#include "qamqpmessage.h"

#include "qamqpmessage_p.h"

#include "amqp_codec.h"

QAmqpMessage::QAmqpMessage() : d(new QAmqpMessagePrivate) {}
QAmqpMessage::QAmqpMessage(const QAmqpMessage& other) = default;
QAmqpMessage& QAmqpMessage::operator=(const QAmqpMessage& other) = default;
QAmqpMessage::~QAmqpMessage() = default;

bool QAmqpMessage::isValid() const { return d->valid; }
qlonglong QAmqpMessage::deliveryTag() const { return qlonglong(d->deliveryTag); }
bool QAmqpMessage::isRedelivered() const { return d->redelivered; }
QString QAmqpMessage::exchangeName() const { return d->exchange; }
QString QAmqpMessage::routingKey() const { return d->routingKey; }
QByteArray QAmqpMessage::payload() const { return d->payload; }
QByteArray QAmqpMessage::encodedProperties() const { return d->encodedProperties; }
bool QAmqpMessage::hasProperty(Property property) const { return d->decodedProperties().contains(property); }
QAmqpMessage::PropertyHash QAmqpMessage::properties() const { return d->decodedProperties(); }

QVariant QAmqpMessage::property(Property property, const QVariant& defaultValue) const
{
    return d->decodedProperties().value(property, defaultValue);
}

const QAmqpMessage::PropertyHash& QAmqpMessagePrivate::decodedProperties() const
{
    if (!decoded && !encodedProperties.isEmpty()) {
        amqp::AmqpCodec codec;
        QString error; // cannot fail: the list was checked when its header came in
        codec.decodeProperties(encodedProperties, properties, &error);
    }
    decoded = true;
    return properties;
}
