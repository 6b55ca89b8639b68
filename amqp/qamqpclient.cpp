#include "qamqpclient.h"

#include "amqp/pem_file.h"
#include "qamqpchannel.h"
#include "qamqpclient_p.h"
#include "qamqpexchange.h"
#include "qamqpqueue.h"

#include <QSslKey>
#include <QSslSocket>
#include <QTcpSocket>

#ifndef SHARDEX_VERSION
#define SHARDEX_VERSION "unknown"
#endif

using namespace amqp;

namespace {

constexpr qint64 SocketReadBuffer = 1 << 20; // bytes taken per read notification; TCP holds the rest back
constexpr qint64 DirectReadChunk = 64 << 10; // bytes asked of an unbuffered socket per read
constexpr int CloseOkWait = 2000;            // ms to wait for close-ok before dropping the socket
constexpr qint64 FlushThreshold = 4 << 20;   // bytes of frames written at once at the latest
constexpr int DirectBodySize = 1 << 20;      // bodies from this size go to the socket without the output buffer

QAmqpTable client_properties(const QString& connectionName)
{
    QAmqpTable capabilities;
    capabilities.insert(QStringLiteral("publisher_confirms"), true);
    capabilities.insert(QStringLiteral("consumer_cancel_notify"), true);
    capabilities.insert(QStringLiteral("basic.nack"), true);
    capabilities.insert(QStringLiteral("connection.blocked"), true);
    capabilities.insert(QStringLiteral("authentication_failure_close"), true);
    QAmqpTable props;
    props.insert(QStringLiteral("product"), QStringLiteral("shardex"));
    props.insert(QStringLiteral("version"), QStringLiteral(SHARDEX_VERSION));
    props.insert(QStringLiteral("platform"), QStringLiteral("Qt %1").arg(QString::fromLatin1(qVersion())));
    props.insert(QStringLiteral("capabilities"), QVariant::fromValue(capabilities));
    if (!connectionName.isEmpty())
        props.insert(QStringLiteral("connection_name"), connectionName);
    return props;
}

QAmqpError make_error(int code, const QString& text)
{
    QAmqpError e;
    e.code = code;
    e.text = text;
    return e;
}

// What the file gave; why it gave nothing goes to `problems`, after its path.
PemFile noted(PemFile file, const QString& path, QStringList* problems)
{
    if (!file.problem.isEmpty())
        *problems << path + QStringLiteral(": ") + file.problem;
    return file;
}

// What the handshake found wrong with the broker's certificate, for error().
QString describe_certificate_errors(const QList<QSslError>& errors, const QSslCertificate& peer)
{
    QStringList texts;
    for (const QSslError& e : errors) {
        if (!texts.contains(e.errorString()))
            texts << e.errorString();
    }
    QString out = texts.join(QStringLiteral("; "));
    if (!peer.isNull())
        out += QStringLiteral(" (certificate \"%1\", issued by \"%2\")")
                   .arg(peer.subjectDisplayName(), peer.issuerDisplayName());
    return out;
}

// The smaller of two limits where 0 means "none".
template <typename T>
T smaller_nonzero(T a, T b)
{
    if (a == 0)
        return b;
    if (b == 0)
        return a;
    return qMin(a, b);
}

} // namespace

// ---------------------------------------------------------------- QAmqpClient

QAmqpClient::QAmqpClient(QObject* parent) : QObject(parent), d(new QAmqpClientPrivate(this)) {}

QAmqpClient::~QAmqpClient()
{
    d->destroying = true;
    d->stopped = true;
    // Channels first: they are children, and their destructors must find
    // the connection machine still in place.
    const QList<QAmqpChannel*> channels = d->channels.values();
    qDeleteAll(channels);
    if (d->state == QAmqpClientPrivate::State::Connected) {
        // Best effort: tell the broker before the socket goes.
        QString error;
        Method close(ConnectionClose);
        close.replyCode = ReplySuccess;
        close.replyText = QStringLiteral("client shutting down");
        d->writer.method(0, close, &error);
        d->flush();
        if (d->socket)
            d->socket->flush();
    }
    d->detachDevice();
}

void QAmqpClient::connectToHost(const QString& url) { connectToHosts(QStringList{url}); }

void QAmqpClient::connectToHosts(const QStringList& urls)
{
    d->urls = urls;
    d->urlIndex = 0;
    d->triesLeft = int(urls.size());
    d->url = urls.value(0);
    d->parsedUrl = AmqpUrl::parse(d->url);
    d->stopped = false;
    d->reconnectTimer.stop();
    for (const QString& url : urls) {
        const AmqpUrl parsed = AmqpUrl::parse(url);
        if (parsed.valid)
            continue;
        // Reported from the event loop, like every other failed attempt.
        d->lastError = make_error(QAmqpError::InvalidUrl, QStringLiteral("cannot use broker URL ")
                                                              + maskUrlPassword(url) + QStringLiteral(": ") + parsed.error);
        QMetaObject::invokeMethod(this, [this] { emit connectFailed(); }, Qt::QueuedConnection);
        return;
    }
    if (urls.isEmpty())
        return;
    // Settings made right after this call must apply to the attempt.
    QMetaObject::invokeMethod(this, [this] {
        if (!d->stopped && d->state == QAmqpClientPrivate::State::Disconnected && !d->reconnectTimer.isActive())
            d->startAttempt();
    }, Qt::QueuedConnection);
}

void QAmqpClient::connectToDevice(QIODevice* device)
{
    d->stopped = false;
    d->autoReconnect = false;
    d->attachDevice(device, false);
    d->onTransportReady();
}

void QAmqpClient::disconnectFromHost()
{
    d->stopped = true;
    d->reconnectTimer.stop();
    if (d->state == QAmqpClientPrivate::State::Connected) {
        d->beginClose(ReplySuccess, QStringLiteral("client closing"), QAmqpError());
    } else if (d->state == QAmqpClientPrivate::State::Closing) {
        d->closeError = QAmqpError(); // asked for: the close under way ends the connection quietly
    } else {
        d->drop(QAmqpError());
    }
}

void QAmqpClient::setAutoReconnect(bool enabled, int intervalMs)
{
    d->autoReconnect = enabled;
    d->reconnectInterval = qMax(0, intervalMs);
}

void QAmqpClient::setWriteTimeout(int ms) { d->writeTimeout = ms; }
void QAmqpClient::setHeartbeatDelay(qint16 seconds) { d->heartbeatDelay = seconds; }

void QAmqpClient::setInputPaused(bool paused)
{
    if (d->inputPaused == paused)
        return;
    d->inputPaused = paused;
    if (!paused) {
        // What arrived meanwhile signals nothing new: read it from the event loop.
        d->sinceRead.restart();
        QMetaObject::invokeMethod(this, [this] { d->onReadyRead(); }, Qt::QueuedConnection);
    }
}

void QAmqpClient::setVirtualHost(const QString& vhost)
{
    d->vhostOverride = vhost;
    d->vhostSet = true;
}

void QAmqpClient::setConnectionName(const QString& name) { d->connectionName = name; }

void QAmqpClient::setSslConfiguration(const QSslConfiguration& configuration)
{
    d->sslConfiguration = configuration;
    d->sslConfigurationSet = true;
}

QSslConfiguration QAmqpClient::verifyingSslConfiguration(const QString& caFile, const QString& certFile,
                                                         const QString& keyFile, QString* error)
{
    QStringList problems;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    // Set, even empty: the system's store then no longer counts.
    if (!caFile.isEmpty())
        configuration.setCaCertificates(noted(readPemCertificates(caFile), caFile, &problems).certificates);
    if (certFile.isEmpty() != keyFile.isEmpty()) {
        problems << QStringLiteral("a client certificate needs both its certificate and its key file");
    } else if (!certFile.isEmpty()) {
        const QList<QSslCertificate> chain = noted(readPemCertificates(certFile), certFile, &problems).certificates;
        const QSslKey key = noted(readPemPrivateKey(keyFile), keyFile, &problems).key;
        if (!chain.isEmpty() && !key.isNull()) {
            configuration.setLocalCertificateChain(chain);
            configuration.setPrivateKey(key);
        }
    }
    if (error)
        *error = problems.join(QStringLiteral("; "));
    return configuration;
}
bool QAmqpClient::isConnected() const { return d->state == QAmqpClientPrivate::State::Connected; }
bool QAmqpClient::isBlocked() const { return d->blocked; }
QAmqpError QAmqpClient::error() const { return d->lastError; }

qint64 QAmqpClient::bytesToWrite() const
{
    return d->writer.size() + d->deviceBytesToWrite();
}
QString QAmqpClient::url() const { return d->url; }
int QAmqpClient::nextAttemptIn() const { return d->nextDelay; }
quint16 QAmqpClient::heartbeat() const { return d->negotiatedHeartbeat; }
quint32 QAmqpClient::frameMax() const { return d->negotiatedFrameMax; }

QAmqpQueue* QAmqpClient::createQueue(const QString& name, int channelNumber)
{
    d->retireOlder(&QAmqpQueue::staticMetaObject, name);
    auto* queue = new QAmqpQueue(name, this);
    d->registerChannel(queue, channelNumber);
    return queue;
}

QAmqpExchange* QAmqpClient::createExchange(const QString& name, int channelNumber)
{
    d->retireOlder(&QAmqpExchange::staticMetaObject, name);
    auto* exchange = new QAmqpExchange(name, this);
    d->registerChannel(exchange, channelNumber);
    return exchange;
}

void QAmqpClient::ignoreSslErrors(const QList<QSslError>& errors)
{
    if (auto* ssl = qobject_cast<QSslSocket*>(d->socket))
        ssl->ignoreSslErrors(errors);
    // A handshake that fails later fails for another reason than these.
    for (const QSslError& e : errors)
        d->peerCertificateErrors.removeAll(e);
}

// --------------------------------------------------------- QAmqpClientPrivate

QAmqpClientPrivate::QAmqpClientPrivate(QAmqpClient* client) : q(client), writer(codec)
{
    reconnectTimer.setSingleShot(true);
    handshakeTimer.setSingleShot(true);
    writeTimer.setSingleShot(true);
    closeTimer.setSingleShot(true);
    QObject::connect(&reconnectTimer, &QTimer::timeout, q, [this] {
        if (!stopped && state == State::Disconnected)
            startAttempt();
    });
    QObject::connect(&handshakeTimer, &QTimer::timeout, q, [this] {
        drop(make_error(QAmqpError::Timeout, QStringLiteral("no answer from ") + maskedUrl()
                                                 + QStringLiteral(" within %1 ms").arg(handshakeTimer.interval())));
    });
    QObject::connect(&heartbeatTimer, &QTimer::timeout, q, [this] { heartbeatTick(); });
    QObject::connect(&writeTimer, &QTimer::timeout, q, [this] {
        // A blocked broker reads nothing on purpose, for as long as its alarm
        // lasts; the heartbeat check still finds a dead one.
        if (blocked) {
            writeTimer.start(writeTimeout);
            return;
        }
        drop(make_error(QAmqpError::Timeout, QStringLiteral("the broker took no data for %1 ms").arg(writeTimeout)));
    });
    QObject::connect(&closeTimer, &QTimer::timeout, q, [this] { drop(closeError); });
}

QAmqpClientPrivate::~QAmqpClientPrivate() = default;

QString QAmqpClientPrivate::maskedUrl() const { return maskUrlPassword(url); }

void QAmqpClientPrivate::startAttempt()
{
    url = urls.value(urlIndex);
    parsedUrl = AmqpUrl::parse(url);
    --triesLeft;
    nextDelay = -1;
    const QPointer<QAmqpClient> guard(q);
    emit q->attemptStarted();
    // A slot may have stopped or deleted the client, or started an attempt itself.
    if (!guard || stopped || state != State::Disconnected)
        return;
    QTcpSocket* s = parsedUrl.tls ? new QSslSocket : new QTcpSocket;
    attachDevice(s, true);
    directReads = !parsedUrl.tls; // TLS sockets have no unbuffered mode
    s->setReadBufferSize(SocketReadBuffer);
    peerCertificateErrors.clear();
    QObject::connect(s, &QAbstractSocket::errorOccurred, q, [this, s](QAbstractSocket::SocketError code) {
        if (s != socket)
            return;
        // Qt's own text names only the first of the certificate's problems.
        if (code == QAbstractSocket::SslHandshakeFailedError && !peerCertificateErrors.isEmpty())
            onTransportError(QStringLiteral("the broker's certificate is not accepted: ")
                             + describe_certificate_errors(peerCertificateErrors,
                                                           qobject_cast<QSslSocket*>(s)->peerCertificate()));
        else
            onTransportError(s->errorString());
    });
    QObject::connect(s, &QAbstractSocket::disconnected, q, [this, s] {
        if (s == socket)
            onTransportError(QStringLiteral("the broker closed the socket"));
    });
    if (auto* ssl = qobject_cast<QSslSocket*>(s)) {
        QObject::connect(ssl, QOverload<const QList<QSslError>&>::of(&QSslSocket::sslErrors), q,
                         [this](const QList<QSslError>& errors) {
                             peerCertificateErrors = errors;
                             emit q->sslErrors(errors); // a slot may ignore them
                         });
        // bytesWritten() means encrypted, not sent: the ciphertext still waiting counts too.
        QObject::connect(ssl, &QSslSocket::encryptedBytesWritten, q, [this, s] {
            if (s == socket)
                onBytesWritten();
        });
        QObject::connect(ssl, &QSslSocket::encrypted, q, [this, s] {
            if (s == socket) {
                peerCertificateErrors.clear();
                onTransportReady();
            }
        });
        if (sslConfigurationSet)
            ssl->setSslConfiguration(sslConfiguration);
    } else {
        QObject::connect(s, &QAbstractSocket::connected, q, [this, s] {
            if (s == socket)
                onTransportReady();
        });
    }
    state = State::Connecting;
    handshakeTimer.start(qMax(1000, writeTimeout));
    if (auto* ssl = qobject_cast<QSslSocket*>(s))
        ssl->connectToHostEncrypted(parsedUrl.host, parsedUrl.port);
    else
        s->connectToHost(parsedUrl.host, parsedUrl.port, QIODevice::ReadWrite | QIODevice::Unbuffered);
}

void QAmqpClientPrivate::attachDevice(QIODevice* dev, bool owned)
{
    detachDevice();
    ++transport;
    device = dev;
    socket = qobject_cast<QAbstractSocket*>(dev);
    sslSocket = qobject_cast<QSslSocket*>(dev);
    ownsDevice = owned;
    reader.reset();
    writer.clear();
    blocked = false;
    established = false;
    directReads = false;
    readFailed = false;
    readError.clear();
    const quint64 current = transport;
    QObject::connect(dev, &QIODevice::readyRead, q, [this, current] {
        if (current == transport)
            onReadyRead();
    });
    QObject::connect(dev, &QIODevice::bytesWritten, q, [this, current] {
        if (current == transport)
            onBytesWritten();
    });
    if (!socket) {
        QObject::connect(dev, &QIODevice::readChannelFinished, q, [this, current] {
            if (current == transport)
                onTransportError(QStringLiteral("the transport was closed"));
        });
    }
}

void QAmqpClientPrivate::detachDevice()
{
    if (!device)
        return;
    QIODevice* old = device;
    device = nullptr;
    socket = nullptr;
    sslSocket = nullptr;
    QObject::disconnect(old, nullptr, q, nullptr);
    if (ownsDevice) {
        if (auto* s = qobject_cast<QAbstractSocket*>(old))
            s->abort();
        // Never deleted here: its own signal may be on the stack below us.
        old->deleteLater();
    }
    ownsDevice = false;
}

void QAmqpClientPrivate::onTransportReady()
{
    state = State::Handshaking;
    sinceRead.start();
    sinceWrite.start();
    reader.setFrameMax(FrameMaxWanted);
    writer.setFrameMax(FrameMinSize);
    writer.protocolHeader();
    flush();
}

void QAmqpClientPrivate::onReadyRead()
{
    if (!device || readFailed)
        return;
    // Left in the socket: Qt takes at most SocketReadBuffer bytes from the
    // kernel, and TCP holds the rest back at the broker.
    if (inputPaused && state == State::Connected)
        return;
    if (directReads) {
        // Read until the kernel has no more, or up to the read limit (the
        // socket signals again for the rest). At least one read each time:
        // the socket signals nothing else until it is read again, and the
        // end of the stream shows only as a failed read.
        for (qint64 taken = 0; taken < SocketReadBuffer;) {
            char* at = reader.reserve(DirectReadChunk);
            const qint64 n = device->read(at, DirectReadChunk);
            if (n < 0) {
                readFailed = true;
                readError = device->errorString();
                break;
            }
            reader.commit(n);
            taken += n;
            if (n < DirectReadChunk)
                break;
        }
    } else {
        for (;;) {
            const qint64 available = device->bytesAvailable();
            if (available <= 0)
                break;
            char* at = reader.reserve(available);
            const qint64 n = device->read(at, available);
            if (n <= 0)
                break;
            reader.commit(n);
        }
    }
    sinceRead.restart();
    if (!processScheduled) {
        // Frames are handled from the event loop, not inside the socket's own
        // signal: a handler may run a nested event loop or delete this client.
        processScheduled = true;
        QMetaObject::invokeMethod(q, [this] { processInput(); }, Qt::QueuedConnection);
    }
}

void QAmqpClientPrivate::processInput()
{
    processScheduled = false;
    const QPointer<QAmqpClient> guard(q);
    const quint64 current = transport;
    while (state != State::Disconnected) {
        FrameView frame;
        QString error;
        const FrameReader::Result r = reader.next(frame, &error);
        if (r == FrameReader::NeedMore) {
            flush(); // answers (acks, close-ok...) leave in this turn, without another queued call
            if (readFailed)
                onTransportError(readError); // after the frames that came before the end
            return;
        }
        if (r == FrameReader::Error) {
            protocolError(FrameError, error);
            return;
        }
        handleFrame(frame);
        // A handler may have deleted the client, or the connection may have
        // ended and started anew inside a nested event loop.
        if (!guard || current != transport)
            return;
    }
}

void QAmqpClientPrivate::handleFrame(const FrameView& frame)
{
    if (frame.type == FrameHeartbeat) {
        if (frame.channel != 0)
            protocolError(FrameError, QStringLiteral("heartbeat frame on channel %1").arg(frame.channel));
        return;
    }
    if (frame.channel == 0) {
        if (frame.type != FrameMethod) {
            protocolError(UnexpectedFrame, QStringLiteral("content frame on channel 0"));
            return;
        }
        Method method;
        QString error;
        if (!codec.decodeMethod(frame.payload, frame.size, method, &error)) {
            protocolError(SyntaxError, error);
            return;
        }
        handleConnectionMethod(method);
        return;
    }
    if (state == State::Closing)
        return; // everything but channel 0 is discarded while closing
    if (closingNumbers.contains(frame.channel)) {
        // A channel of a destroyed object: only its close-ok is of interest.
        Method method;
        QString error;
        if (frame.type == FrameMethod && codec.decodeMethod(frame.payload, frame.size, method, &error)) {
            if (method.id == ChannelCloseOk)
                closingNumbers.remove(frame.channel);
            else if (method.id == ChannelClose)
                sendMethod(frame.channel, Method(ChannelCloseOk), &error);
        }
        return;
    }
    QAmqpChannel* channel = state == State::Connected ? channels.value(frame.channel) : nullptr;
    if (!channel || channel->m_state == QAmqpChannel::Closed) {
        protocolError(UnexpectedFrame, QStringLiteral("frame for channel %1, which is not open").arg(frame.channel));
        return;
    }
    // A handler may emit signals whose slots delete this client.
    const QPointer<QAmqpClient> guard(q);
    QAmqpChannel::FrameResult result;
    if (frame.type == FrameMethod) {
        Method method;
        QString error;
        if (!codec.decodeMethod(frame.payload, frame.size, method, &error)) {
            protocolError(SyntaxError, error);
            return;
        }
        result = channel->handleMethodFrame(std::move(method));
    } else if (frame.type == FrameHeader) {
        result = channel->handleHeaderFrame(frame.payload, frame.size);
    } else {
        result = channel->handleBodyFrame(frame.payload, frame.size);
    }
    if (guard && result.code != 0)
        protocolError(result.code, result.text);
}

void QAmqpClientPrivate::handleConnectionMethod(const Method& m)
{
    QString error;
    if (m.id == ConnectionClose) {
        sendMethod(0, Method(ConnectionCloseOk), &error);
        flush();
        if (socket)
            socket->flush(); // hand close-ok to the kernel before the socket is aborted
        // Its reply code stays the error's code: 320 (forced), 403 (login refused), 530 (no access), ...
        drop(make_error(m.replyCode, QStringLiteral("the broker closed the connection: %1 ").arg(m.replyCode)
                                         + m.replyText));
        return;
    }
    if (state == State::Closing) {
        if (m.id == ConnectionCloseOk)
            drop(closeError);
        return;
    }
    if (state == State::Handshaking) {
        switch (m.id) {
        case ConnectionStart: {
            if (m.versionMajor != 0 || m.versionMinor != 9) {
                drop(make_error(QAmqpError::HandshakeRefused, QStringLiteral("the broker speaks AMQP %1-%2, not 0-9-1")
                                                                  .arg(m.versionMajor)
                                                                  .arg(m.versionMinor)));
                return;
            }
            if (!m.mechanisms.split(' ').contains("PLAIN")) {
                drop(make_error(QAmqpError::HandshakeRefused,
                                QStringLiteral("the broker offers no PLAIN login (it offers ")
                                    + QString::fromUtf8(m.mechanisms) + QLatin1Char(')')));
                return;
            }
            Method ok(ConnectionStartOk);
            ok.table = client_properties(connectionName);
            ok.mechanisms = "PLAIN";
            ok.response = '\0' + parsedUrl.user.toUtf8() + '\0' + parsedUrl.password.toUtf8();
            ok.locales = "en_US";
            if (!sendMethod(0, ok, &error))
                drop(make_error(QAmqpError::Unencodable, error));
            return;
        }
        case ConnectionTune: {
            negotiatedChannelMax = m.channelMax == 0 ? 2047 : m.channelMax;
            negotiatedFrameMax = smaller_nonzero<quint32>(m.frameMax, FrameMaxWanted);
            if (negotiatedFrameMax < FrameMinSize) {
                drop(make_error(QAmqpError::HandshakeRefused,
                                QStringLiteral("the broker's frame_max %1 is below the AMQP minimum").arg(m.frameMax)));
                return;
            }
            negotiatedHeartbeat = smaller_nonzero<quint16>(quint16(qMax<qint16>(0, heartbeatDelay)), m.heartbeat);
            Method ok(ConnectionTuneOk);
            ok.channelMax = negotiatedChannelMax;
            ok.frameMax = negotiatedFrameMax;
            ok.heartbeat = negotiatedHeartbeat;
            Method open(ConnectionOpen);
            open.virtualHost = vhostSet ? vhostOverride : parsedUrl.vhost;
            if (!sendMethod(0, ok, &error) || !sendMethod(0, open, &error)) {
                drop(make_error(QAmqpError::Unencodable, error));
                return;
            }
            reader.setFrameMax(negotiatedFrameMax);
            writer.setFrameMax(negotiatedFrameMax);
            if (negotiatedHeartbeat > 0)
                heartbeatTimer.start(qMax(100, negotiatedHeartbeat * 1000 / 4));
            return;
        }
        case ConnectionOpenOk: completeHandshake(); return;
        case ConnectionSecure:
            drop(make_error(QAmqpError::HandshakeRefused,
                            QStringLiteral("the broker asks for a SASL challenge, which PLAIN does not use")));
            return;
        default:
            drop(make_error(QAmqpError::ProtocolError,
                            QStringLiteral("unexpected %1 during the handshake").arg(methodName(m.id))));
            return;
        }
    }
    switch (m.id) {
    case ConnectionBlocked:
        blocked = true;
        emit q->blocked(m.reason);
        return;
    case ConnectionUnblocked:
        blocked = false;
        emit q->unblocked();
        return;
    default:
        protocolError(CommandInvalid, QStringLiteral("unexpected %1 on channel 0").arg(methodName(m.id)));
        return;
    }
}

void QAmqpClientPrivate::completeHandshake()
{
    handshakeTimer.stop();
    state = State::Connected;
    established = true;
    ++epoch;
    lastError = QAmqpError();
    const QPointer<QAmqpClient> guard(q);
    const quint64 current = transport;
    emit q->connected();
    if (!guard || current != transport || state != State::Connected)
        return;
    // Objects that the connected() handlers did not replace reopen their channels.
    const QList<quint16> numbers = channels.keys();
    for (quint16 number : numbers) {
        QAmqpChannel* channel = channels.value(number);
        if (channel && channel->m_state == QAmqpChannel::Closed)
            openChannel(channel);
    }
}

void QAmqpClientPrivate::openChannel(QAmqpChannel* channel)
{
    if (state != State::Connected || channel->m_state != QAmqpChannel::Closed)
        return;
    if (channel->m_number > negotiatedChannelMax) {
        channel->reportLater(QAmqpError::ChannelLimit, QStringLiteral("channel %1 exceeds the broker's channel_max %2")
                                                           .arg(channel->m_number)
                                                           .arg(negotiatedChannelMax));
        return;
    }
    channel->beginOpen();
}

void QAmqpClientPrivate::protocolError(quint16 code, const QString& text)
{
    const QAmqpError error = make_error(QAmqpError::ProtocolError, QStringLiteral("%1 ").arg(code) + text);
    if (state == State::Handshaking || state == State::Connecting) {
        drop(make_error(error.code, QStringLiteral("protocol error during the handshake: ") + error.text));
        return;
    }
    if (state != State::Connected)
        return;
    // Tell the broker why and wait briefly for close-ok; frames written before
    // (acknowledgements among them) still go out ahead of the close.
    beginClose(code, text.left(200),
               make_error(error.code, QStringLiteral("closed the connection after a protocol error: ") + error.text));
}

void QAmqpClientPrivate::beginClose(quint16 replyCode, const QString& replyText, const QAmqpError& error)
{
    QString sendError;
    Method close(ConnectionClose);
    close.replyCode = replyCode;
    close.replyText = replyText;
    sendMethod(0, close, &sendError);
    state = State::Closing;
    closeError = error;
    closeTimer.start(CloseOkWait);
}

void QAmqpClientPrivate::drop(const QAmqpError& error)
{
    if (state == State::Disconnected)
        return;
    const bool wasEstablished = established;
    state = State::Disconnected;
    established = false;
    blocked = false;
    handshakeTimer.stop();
    heartbeatTimer.stop();
    writeTimer.stop();
    closeTimer.stop();
    detachDevice();
    reader.reset();
    writer.clear();
    ++transport;
    closingNumbers.clear();
    lastError = error;
    closeError = QAmqpError();
    nextDelay = -1;
    if (autoReconnect && !stopped && !destroying && !urls.isEmpty()) {
        // The next node at once while the round has one left untried; after
        // a whole round of failures, the interval first.
        if (wasEstablished)
            triesLeft = int(urls.size()) - 1; // the node just lost counts as tried
        urlIndex = (urlIndex + 1) % int(urls.size());
        if (triesLeft > 0) {
            nextDelay = 0;
        } else {
            triesLeft = int(urls.size());
            nextDelay = reconnectInterval;
        }
        reconnectTimer.start(nextDelay);
    }
    if (destroying)
        return;

    const QPointer<QAmqpClient> guard(q);
    const QList<quint16> numbers = channels.keys();
    for (quint16 number : numbers) {
        // Looked up afresh: a slot run by an earlier one may have deleted this one.
        if (QAmqpChannel* channel = channels.value(number))
            channel->connectionLost();
        if (!guard)
            return;
    }
    if (wasEstablished)
        emit q->disconnected();
    else if (error.isError())
        emit q->connectFailed();
}

void QAmqpClientPrivate::onTransportError(const QString& what)
{
    if (state == State::Disconnected)
        return;
    if (state == State::Closing) {
        drop(closeError); // the broker closed the socket after our close
        return;
    }
    const QString text = (established ? QStringLiteral("connection to ") : QStringLiteral("cannot connect to "))
                         + maskedUrl() + (established ? QStringLiteral(" lost: ") : QStringLiteral(": ")) + what;
    drop(make_error(QAmqpError::SocketError, text));
}

bool QAmqpClientPrivate::sendMethod(quint16 channel, const Method& method, QString* error)
{
    if (!device) {
        *error = QStringLiteral("not connected");
        return false;
    }
    // After connection.close, nothing but close and close-ok may follow it.
    if (state == State::Closing && !(channel == 0 && (method.id == ConnectionClose || method.id == ConnectionCloseOk))) {
        *error = QStringLiteral("the connection is closing");
        return false;
    }
    if (!writer.method(channel, method, error))
        return false;
    scheduleFlush();
    return true;
}

bool QAmqpClientPrivate::sendContent(quint16 channel, const Method& method, const QByteArray& body,
                                     const QAmqpMessage::PropertyHash& properties, QString* error)
{
    if (!mayPublish(error) || !writer.content(channel, method, body, properties, error))
        return false;
    contentWritten();
    return true;
}

bool QAmqpClientPrivate::sendPublish(quint16 channel, const QByteArray& exchange, const QByteArray& routingKey,
                                     int options, const QByteArray& properties, const QByteArray& body,
                                     QString* error)
{
    const bool mandatory = options & QAmqpExchange::poMandatory;
    const bool immediate = options & QAmqpExchange::poImmediate;
    if (!mayPublish(error))
        return false;
    if (body.size() < DirectBodySize) {
        if (!writer.publish(channel, exchange, routingKey, mandatory, immediate, properties, body, error))
            return false;
        contentWritten();
        return true;
    }
    // A large body goes to the socket frame by frame, right after what is
    // pending, through one frame-sized buffer: the whole body is not copied
    // into the output buffer first (what the kernel does not take at once
    // still waits in the socket's buffer). Each write is one whole frame.
    if (!writer.publishHead(channel, exchange, routingKey, mandatory, immediate, properties, quint64(body.size()),
                            error))
        return false;
    flush();
    const int chunk = writer.maxBodyFrame();
    QByteArray frame(chunk + FrameOverhead, Qt::Uninitialized);
    for (int offset = 0; offset < body.size(); offset += chunk) {
        const int size = qMin(chunk, body.size() - offset);
        const int length = FrameWriter::bodyFrame(channel, body.constData() + offset, size, frame.data());
        if (!writeOut(frame.constData(), length))
            break; // the connection ends from the event loop; the publication's confirm never comes
    }
    return true;
}

bool QAmqpClientPrivate::mayPublish(QString* error) const
{
    if (device && state == State::Connected)
        return true;
    *error = state == State::Closing ? QStringLiteral("the connection is closing") : QStringLiteral("not connected");
    return false;
}

void QAmqpClientPrivate::contentWritten()
{
    if (writer.size() > FlushThreshold)
        flush(); // many or large messages in one turn: do not let one buffer grow without bound
    else
        scheduleFlush();
}

void QAmqpClientPrivate::scheduleFlush()
{
    if (flushScheduled)
        return;
    // Everything written during this event-loop turn goes out in one write.
    flushScheduled = true;
    QMetaObject::invokeMethod(q, [this] { flush(); }, Qt::QueuedConnection);
}

void QAmqpClientPrivate::flush()
{
    flushScheduled = false;
    if (!device || writer.isEmpty())
        return;
    const QByteArray& out = writer.pending();
    writeOut(out.constData(), out.size());
    writer.consumed();
}

bool QAmqpClientPrivate::writeOut(const char* data, qint64 size)
{
    if (!device)
        return false;
    if (device->write(data, size) < 0) {
        // Reported from the event loop: writes happen inside publish() and
        // frame handlers, which must not see the connection end under them.
        const quint64 current = transport;
        const QString why = device->errorString();
        QMetaObject::invokeMethod(
            q,
            [this, current, why] {
                if (current == transport)
                    onTransportError(why);
            },
            Qt::QueuedConnection);
        return false;
    }
    sinceWrite.restart();
    if (deviceBytesToWrite() > 0 && !writeTimer.isActive() && writeTimeout > 0)
        writeTimer.start(writeTimeout);
    return true;
}

qint64 QAmqpClientPrivate::deviceBytesToWrite() const
{
    if (!device)
        return 0;
    return device->bytesToWrite() + (sslSocket ? sslSocket->encryptedBytesToWrite() : 0);
}

void QAmqpClientPrivate::onBytesWritten()
{
    if (!device)
        return;
    if (deviceBytesToWrite() == 0)
        writeTimer.stop();
    else if (writeTimeout > 0)
        writeTimer.start(writeTimeout); // progress: the broker reads
    emit q->bytesWritten();
}

void QAmqpClientPrivate::heartbeatTick()
{
    if (negotiatedHeartbeat == 0 || (state != State::Connected && state != State::Handshaking))
        return;
    const qint64 period = qint64(negotiatedHeartbeat) * 1000;
    if (sinceWrite.elapsed() >= period / 2) {
        writer.heartbeat();
        flush();
    }
    // Also while the broker blocks this connection: it goes on sending
    // heartbeats then, so silence means a dead broker or network. While this
    // side reads nothing, its heartbeats wait unread.
    if (inputPaused && state == State::Connected)
        sinceRead.restart();
    if (sinceRead.elapsed() >= 2 * period)
        drop(make_error(QAmqpError::Timeout, QStringLiteral("no data from the broker for %1 s (heartbeat %2 s)")
                                                 .arg(sinceRead.elapsed() / 1000)
                                                 .arg(negotiatedHeartbeat)));
}

void QAmqpClientPrivate::registerChannel(QAmqpChannel* channel, int wanted)
{
    quint16 number = 0;
    if (wanted > 0 && wanted <= 65535 && !channels.contains(quint16(wanted)) && !closingNumbers.contains(quint16(wanted)))
        number = quint16(wanted);
    for (quint16 n = 1; number == 0 && n != 0; ++n) {
        if (!channels.contains(n) && !closingNumbers.contains(n))
            number = n;
    }
    channel->m_number = number;
    channel->m_createdEpoch = epoch;
    channels.insert(number, channel);
    openChannel(channel);
}

void QAmqpClientPrivate::retireOlder(const QMetaObject* kind, const QString& name)
{
    const QList<QAmqpChannel*> list = channels.values();
    for (QAmqpChannel* channel : list) {
        if (channel->metaObject() == kind && channel->name() == name && channel->m_createdEpoch < epoch) {
            channelDestroyed(channel); // unregisters it and closes its channel
            channel->m_client = nullptr;
            channel->deleteLater();
        }
    }
}

void QAmqpClientPrivate::channelDestroyed(QAmqpChannel* channel)
{
    const quint16 number = quint16(channel->channelNumber());
    if (channels.value(number) != channel)
        return;
    channels.remove(number);
    if (destroying)
        return;
    if (state == State::Connected
        && (channel->m_state == QAmqpChannel::Open || channel->m_state == QAmqpChannel::Opening)) {
        QString error;
        Method close(ChannelClose);
        close.replyCode = ReplySuccess;
        close.replyText = QStringLiteral("channel no longer used");
        if (sendMethod(number, close, &error))
            closingNumbers.insert(number);
    }
}
