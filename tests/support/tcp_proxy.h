#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

// A loopback TCP proxy for the tests: forwards every connection to a target
// port, and can go silent (stop forwarding in both directions, keeping the
// sockets open) or cut every connection, as a dead network would.
class TcpProxy : public QObject {
    Q_OBJECT
public:
    explicit TcpProxy(quint16 targetPort, QObject* parent = nullptr);
    quint16 port() const { return m_server.serverPort(); }
    void setSilent(bool silent) { m_silent = silent; }
    // Stops reading from the clients, as a peer that no longer takes data:
    // their sends back up once the socket buffers are full.
    void setStalled(bool stalled);
    // Closes every proxied connection now; later ones are proxied again.
    void cutAll();
    int connectionCount() const { return m_pairs.size(); }

private:
    struct Pair {
        QPointer<QTcpSocket> client;
        QPointer<QTcpSocket> upstream;
    };
    void accept();
    void forward(QTcpSocket* from, QTcpSocket* to, bool fromClient);

    QTcpServer m_server;
    quint16 m_target;
    bool m_silent = false;
    bool m_stalled = false;
    QList<Pair> m_pairs;
};
