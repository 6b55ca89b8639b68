#pragma once

#include <QHostAddress>
#include <QTcpServer>

// A loopback port that was free a moment ago.
inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}
