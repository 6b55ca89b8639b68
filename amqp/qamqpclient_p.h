#pragma once

#include "amqp_codec.h"
#include "amqp/amqp_url.h"
#include "frame_reader.h"
#include "frame_writer.h"
#include "qamqpclient.h"

#include <QElapsedTimer>
#include <QMap>
#include <QPointer>
#include <QSet>
#include <QTimer>

class QAbstractSocket;
class QSslSocket;

// The connection machine behind QAmqpClient: transport glue, handshake,
// heartbeats, time-outs, reconnection, and the dispatch of frames to channels.
class QAmqpClientPrivate {
public:
    enum class State { Disconnected, Connecting, Handshaking, Connected, Closing };

    explicit QAmqpClientPrivate(QAmqpClient* q);
    ~QAmqpClientPrivate();

    // --- used by the channels
    bool isConnected() const { return state == State::Connected; }
    bool sendMethod(quint16 channel, const amqp::Method& method, QString* error);
    // A publication's frames, now: connected and not closing.
    bool mayPublish(QString* error) const;
    void contentWritten();
    bool sendPublish(quint16 channel, const QByteArray& exchange, const QByteArray& routingKey, int options,
                     const QByteArray& properties, const QByteArray& body, QString* error);
    bool sendContent(quint16 channel, const amqp::Method& method, const QByteArray& body,
                     const QAmqpMessage::PropertyHash& properties, QString* error);
    // Hands bytes to the transport after the pending output; false (the
    // failure reported from the event loop) when it cannot take them.
    bool writeOut(const char* data, qint64 size);
    void openChannel(QAmqpChannel* channel);
    void channelDestroyed(QAmqpChannel* channel);
    quint64 connectionEpoch() const { return epoch; }

    // --- the machine
    void startAttempt();
    void attachDevice(QIODevice* device, bool owned);
    void detachDevice();
    void onTransportReady();
    void onReadyRead();
    void onBytesWritten();
    // What the transport holds and has not handed to the operating system,
    // the ciphertext of a TLS socket included.
    qint64 deviceBytesToWrite() const;
    void onTransportError(const QString& what);
    void processInput();
    void handleFrame(const amqp::FrameView& frame);
    void handleConnectionMethod(const amqp::Method& method);
    void completeHandshake();
    void protocolError(quint16 code, const QString& text);
    // Sends connection.close and waits for close-ok (at most CloseOkWait);
    // the connection then ends with `error`.
    void beginClose(quint16 replyCode, const QString& replyText, const QAmqpError& error);
    // Ends the transport at once; reports `error` (nothing when it is NoError
    // and the connection never came up) and schedules the next attempt.
    void drop(const QAmqpError& error);
    void scheduleFlush();
    void flush();
    void heartbeatTick();
    void registerChannel(QAmqpChannel* channel, int wanted);
    void retireOlder(const QMetaObject* kind, const QString& name);
    QString maskedUrl() const;

    QAmqpClient* q;

    // settings
    QString url;        // of the current attempt: urls[urlIndex]
    AmqpUrl parsedUrl;
    QStringList urls;   // the nodes, in the order of the attempts
    int urlIndex = 0;
    int triesLeft = 0;  // attempts of this round still to make without waiting
    int nextDelay = -1; // until the attempt scheduled last
    QString vhostOverride;
    bool vhostSet = false;
    bool autoReconnect = false;
    int reconnectInterval = 30000;
    int writeTimeout = 20000;
    qint16 heartbeatDelay = 60;
    QString connectionName;
    QSslConfiguration sslConfiguration;
    bool sslConfigurationSet = false;

    // connection
    State state = State::Disconnected;
    bool stopped = true; // no attempts: never started, or disconnectFromHost()
    bool blocked = false;
    bool established = false; // connected() was emitted for the current transport
    bool destroying = false;
    QIODevice* device = nullptr;
    QAbstractSocket* socket = nullptr; // the device, when it is a socket
    QSslSocket* sslSocket = nullptr;   // the device, when it is a TLS socket (asked per publication)
    bool ownsDevice = false;
    quint64 epoch = 0;      // counts successful connections
    quint64 transport = 0;  // counts transports; frames of an old one are never processed
    quint16 negotiatedChannelMax = 2047;
    quint32 negotiatedFrameMax = 0;
    quint16 negotiatedHeartbeat = 0;
    QAmqpError lastError;
    QAmqpError closeError; // what ends the connection once the close started by this side is done
    // What the current TLS handshake found wrong with the broker's certificate.
    QList<QSslError> peerCertificateErrors;

    amqp::AmqpCodec codec;
    amqp::FrameReader reader;
    amqp::FrameWriter writer;
    bool processScheduled = false;
    bool inputPaused = false; // setInputPaused(); applies once the connection is established
    bool flushScheduled = false;
    // A plain TCP socket is opened unbuffered: reads go from the kernel
    // straight into the frame reader and writes straight to the kernel,
    // without a copy through Qt's buffers. Such a socket reports the end of
    // the stream only through a failed read, kept here until the frames read
    // before it are handled.
    bool directReads = false;
    bool readFailed = false;
    QString readError;

    QTimer reconnectTimer;
    QTimer handshakeTimer;
    QTimer heartbeatTimer;
    QTimer writeTimer;
    QTimer closeTimer;
    QElapsedTimer sinceRead;
    QElapsedTimer sinceWrite;

    // channel number -> object; numbers being closed for destroyed objects
    QMap<quint16, QAmqpChannel*> channels;
    QSet<quint16> closingNumbers;
};
