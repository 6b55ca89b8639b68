#pragma once

#include "qamqpmessage.h"

#include <QSharedData>

class QAmqpMessagePrivate : public QSharedData {
public:
    bool valid = false;
    quint64 deliveryTag = 0;
    bool redelivered = false;
    QString exchange;
    QString routingKey;
    QByteArray payload;
    // As the content header carried them; their values are decoded only
    // when asked for.
    QByteArray encodedProperties;
    mutable bool decoded = false;
    mutable QAmqpMessage::PropertyHash properties;
    const QAmqpMessage::PropertyHash& decodedProperties() const;
};
