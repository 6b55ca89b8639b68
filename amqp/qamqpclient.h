#pragma once

#include "qamqperror.h"

#include <QList>
#include <QObject>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>
#include <QStringList>

#include <memory>

class QIODevice;
class QAmqpChannel;
class QAmqpExchange;
class QAmqpQueue;
class QAmqpClientPrivate;

// One AMQP 0-9-1 connection on the Qt event loop. Everything is asynchronous:
// connectToHost() starts connecting, connected() says the handshake is done,
// disconnected() that an established connection was lost or closed, and
// connectFailed() that an attempt failed before that; error() says why. With
// automatic reconnection, every failed attempt and every loss is followed by
// a new attempt after the interval, and connected() comes again. Given the
// URLs of several nodes of one cluster, the attempts go through them in turn
// and wait the interval only after a whole round of them failed.
//
// The client writes no log: it reports through its signals and error(), and
// its user decides what to log.
//
// Queue and exchange objects each own a channel of this connection; the
// client owns them and opens their channels on every connection. Creating an
// object under the name of one made during an earlier connection replaces
// (deletes later) that one, so objects made afresh on each connection do not
// pile up.
class QAmqpClient : public QObject {
    Q_OBJECT
public:
    explicit QAmqpClient(QObject* parent = nullptr);
    ~QAmqpClient() override;

    // amqp[s]://user:password@host[:port][/vhost]; the attempt starts on the
    // event loop, so settings made right after this call apply to it.
    void connectToHost(const QString& url);
    // The same with the URLs of several nodes of one cluster. The first
    // attempt goes to the first URL; after a failed attempt the next one
    // follows at once, and only after a whole round of failures does the
    // reconnection interval pass. A lost connection counts as the failed
    // attempt on its node: the round goes on with the node after it. With one
    // URL that is plain reconnection after the interval.
    void connectToHosts(const QStringList& urls);
    // Uses an open device as the transport, for tests and fuzzing: the
    // handshake starts at once and reconnection is off.
    void connectToDevice(QIODevice* device);
    // Closes the connection properly (connection.close, then the broker's
    // close-ok, for at most 2 s) and stops reconnecting; disconnected() follows
    // when the connection was up. What was written before goes out first.
    void disconnectFromHost();

    void setAutoReconnect(bool enabled, int intervalMs = 30000);
    void setWriteTimeout(int ms);
    void setHeartbeatDelay(qint16 seconds);
    void setVirtualHost(const QString& vhost);
    // Shown by the broker as connection_name, and in this client's log lines.
    void setConnectionName(const QString& name);
    // While paused, an established connection reads nothing more from its
    // socket (frames already read are still handled): the broker's further
    // deliveries wait in TCP buffers and at the broker, not in this process.
    // Writes go on, and the broker's silence is not taken for a dead peer.
    void setInputPaused(bool paused);
    // The TLS configuration of the next amqps:// attempts: applied to the
    // socket before its handshake. Without one, Qt's default applies. A
    // handshake that fails over the broker's certificate ends the attempt
    // before any AMQP byte is sent; error() then names the certificate's
    // problems (unless a slot of sslErrors() ignored them).
    void setSslConfiguration(const QSslConfiguration& configuration);
    // A configuration that checks the broker's certificate chain and host
    // name. It trusts the PEM certificates in caFile, or the system's CA
    // store when caFile is empty, and shows the PEM client certificate and its
    // unencrypted key (RSA, EC or DSA) when certFile and keyFile are set. When
    // a file cannot be read or holds no certificate or key, `error` says which
    // and that part stays out: an unreadable caFile then trusts nothing.
    static QSslConfiguration verifyingSslConfiguration(const QString& caFile, const QString& certFile,
                                                       const QString& keyFile, QString* error);

    bool isConnected() const;
    // Between connection.blocked and connection.unblocked: the broker reads
    // nothing more from this connection (a memory or disk alarm).
    bool isBlocked() const;
    // Why the last attempt failed or the last connection ended (NoError after
    // disconnectFromHost()).
    QAmqpError error() const;
    // Bytes written and not yet handed to the operating system.
    qint64 bytesToWrite() const;
    // The URL of the current or last attempt (password included).
    QString url() const;
    // After connectFailed() or disconnected(): the milliseconds until the
    // next attempt, or -1 when none comes.
    int nextAttemptIn() const;
    // As negotiated with the broker (0 before the first connection).
    quint16 heartbeat() const;
    quint32 frameMax() const;

    QAmqpQueue* createQueue(const QString& name = QString(), int channelNumber = -1);
    QAmqpExchange* createExchange(const QString& name = QString(), int channelNumber = -1);

public slots:
    void ignoreSslErrors(const QList<QSslError>& errors);

signals:
    // An attempt starts now, to url().
    void attemptStarted();
    void connected();
    void disconnected();
    void connectFailed();
    void sslErrors(const QList<QSslError>& errors);
    void blocked(const QString& reason);
    void unblocked();
    // Some of the output left for the operating system.
    void bytesWritten();

private:
    friend class QAmqpChannel;
    friend class QAmqpClientPrivate;
    std::unique_ptr<QAmqpClientPrivate> d;
};
