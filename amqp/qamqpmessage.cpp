#include "qamqpmessage.h"

#include "qamqpmessage_p.h"

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
bool QAmqpMessage::hasProperty(Property property) const { return d->properties.contains(property); }
QAmqpMessage::PropertyHash QAmqpMessage::properties() const { return d->properties; }

QVariant QAmqpMessage::property(Property property, const QVariant& defaultValue) const
{
    return d->properties.value(property, defaultValue);
}
