#include "close_and_delete.h"

#include "amqp/qamqpclient.h"

void close_and_delete(QAmqpClient& client, QObject* owner)
{
    const bool up = client.isConnected();
    client.disconnectFromHost();
    if (up)
        QObject::connect(&client, &QAmqpClient::disconnected, owner, &QObject::deleteLater);
    else
        owner->deleteLater();
}
