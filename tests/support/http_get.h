#pragma once

#include "wait.h"

#include <QHostAddress>
#include <QTcpSocket>

// One GET to 127.0.0.1:port, the event loop running meanwhile (the server
// may be in this process): the status code (0 when no answer came) and the body.
struct HttpReply {
    int status = 0;
    QByteArray body;
};

inline HttpReply httpGet(quint16 port, const QByteArray& path, int timeoutMs = 5000)
{
    QTcpSocket socket;
    QByteArray received;
    bool closed = false;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { received += socket.readAll(); });
    QObject::connect(&socket, &QTcpSocket::disconnected, [&] { closed = true; });
    QObject::connect(&socket, &QTcpSocket::errorOccurred, [&] { closed = true; });
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write("GET " + path + " HTTP/1.0\r\n\r\n");
    waitFor([&] { return closed; }, timeoutMs);
    HttpReply reply;
    const int end = received.indexOf("\r\n\r\n");
    if (!received.startsWith("HTTP/1.") || end < 0)
        return reply;
    reply.status = received.mid(9, 3).toInt();
    reply.body = received.mid(end + 4);
    return reply;
}
