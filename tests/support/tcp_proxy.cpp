#include "tcp_proxy.h"

TcpProxy::TcpProxy(quint16 targetPort, QObject* parent) : QObject(parent), m_target(targetPort)
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, &TcpProxy::accept);
}

void TcpProxy::accept()
{
    while (QTcpSocket* client = m_server.nextPendingConnection()) {
        auto* upstream = new QTcpSocket(this);
        client->setParent(this);
        client->setReadBufferSize(64 * 1024); // so that a stall reaches the kernel's buffers
        upstream->connectToHost(QHostAddress::LocalHost, m_target);
        connect(client, &QTcpSocket::readyRead, this, [this, client, upstream] { forward(client, upstream, true); });
        connect(upstream, &QTcpSocket::readyRead, this, [this, client, upstream] { forward(upstream, client, false); });
        connect(upstream, &QTcpSocket::connected, this, [this, client, upstream] { forward(client, upstream, true); });
        // A silent network delivers no close either.
        connect(client, &QTcpSocket::disconnected, this, [this, upstream] {
            if (!m_silent)
                upstream->disconnectFromHost();
        });
        connect(upstream, &QTcpSocket::disconnected, this, [this, client] {
            if (!m_silent)
                client->disconnectFromHost();
        });
        m_pairs.append(Pair{client, upstream});
    }
}

void TcpProxy::setStalled(bool stalled)
{
    m_stalled = stalled;
    if (!stalled) {
        for (const Pair& p : m_pairs) {
            if (p.client && p.upstream)
                forward(p.client, p.upstream, true);
        }
    }
}

void TcpProxy::forward(QTcpSocket* from, QTcpSocket* to, bool fromClient)
{
    if (m_stalled && fromClient)
        return; // a client's bytes stay unread
    if (m_silent) {
        from->readAll(); // swallowed, as by a network that lost the packets
        return;
    }
    if (to->state() != QAbstractSocket::ConnectedState)
        return; // stays buffered in `from` until the upstream is connected
    to->write(from->readAll());
}

void TcpProxy::cutAll()
{
    for (const Pair& p : m_pairs) {
        if (p.client)
            p.client->abort();
        if (p.upstream)
            p.upstream->abort();
    }
    m_pairs.clear();
}
