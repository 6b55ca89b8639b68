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
    QAmqpMessage::PropertyHash properties;
};
