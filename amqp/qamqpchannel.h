#pragma once

#include "amqp_method.h"
#include "qamqpmessage.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QAmqpClient;

// One channel of a QAmqpClient connection, opened on every connection. Calls
// made while the channel is not open wait in order and go out when it opens;
// they are dropped when the channel or the connection is lost.
//
// When the broker closes the channel (a refused declaration, a publish to a
// missing exchange, ...), the channel answers close-ok, emits error() with the
// broker's reply and opens again at once; what was set up on it has to be set
// up again.
//
// channel.flow(active=false) from the broker is obeyed: messages published
// on the channel wait until flow is active again (methods still go out).
class QAmqpChannel : public QObject {
    Q_OBJECT
public:
    ~QAmqpChannel() override;

    QString name() const { return m_name; }
    int channelNumber() const { return m_number; }
    bool isOpen() const { return m_state == Open; }
    // False between the broker's channel.flow(active=false) and its
    // channel.flow(active=true); every opening starts active.
    bool isFlowActive() const { return m_flowActive; }
    // Counts the openings of this channel; delivery tags of one opening mean
    // nothing on the next.
    quint64 openCount() const { return m_openCount; }

    // basic.qos: the low 16 bits of prefetchCount, and prefetchSize bytes (0: no limit).
    void qos(qint16 prefetchCount, qint32 prefetchSize = 0);

signals:
    void opened();
    void closed();
    // The broker closed the channel (its reply code and text), or this side
    // could not use it (a QAmqpError code from 1000 up).
    void error(int replyCode, const QString& replyText);
    void flowChanged(bool active);
    void qosDefined();

protected:
    QAmqpChannel(const QString& name, QAmqpClient* client);

    // Runs `send` now when the channel is open, else when it opens; `discard`
    // runs instead when the call is dropped. A call that publishes content
    // also waits while flow is off. Calls run in the order they were made.
    void whenOpen(std::function<void()> send, std::function<void()> discard = nullptr, bool content = false);
    // False when nothing was sent: the connection is down or closing (it
    // reports that itself), or the method cannot be encoded (error() follows).
    bool sendMethod(const amqp::Method& method);
    bool sendContent(const amqp::Method& method, const QByteArray& body, const QAmqpMessage::PropertyHash& properties,
                     QString* error);
    // basic.publish with a property list in its wire form, encoded without a Method.
    bool sendPublish(const QByteArray& exchange, const QByteArray& routingKey, int options,
                     const QByteArray& properties, const QByteArray& body, QString* error);
    // Emits error() from the event loop, where its handlers may do anything.
    void reportLater(int code, const QString& text);
    QAmqpClient* client() const { return m_client; }

    // Hooks for queues and exchanges.
    virtual void channelOpened() {}
    virtual void channelLost() {}
    virtual void handleMethod(const amqp::Method& method) = 0;
    // properties: the property list as the content header carried it.
    virtual void handleContent(const amqp::Method& method, QByteArray&& properties, QByteArray&& body) = 0;

private:
    friend class QAmqpClientPrivate;
    enum State { Closed, Opening, Open, Closing };
    struct Call {
        std::function<void()> send;
        std::function<void()> discard;
        bool content;
    };
    // A reply code and reason when the frame breaks the protocol, else code 0.
    struct FrameResult {
        quint16 code = 0;
        QString text;
    };

    // Called by the client.
    void beginOpen();
    FrameResult handleMethodFrame(amqp::Method&& method);
    FrameResult handleHeaderFrame(const char* data, int size);
    FrameResult handleBodyFrame(const char* data, int size);
    void connectionLost();
    void discardCalls();
    // Runs the waiting calls in order while the channel is open, stopping at
    // one that publishes while flow is off.
    void runCalls();
    void finishContent();

    QAmqpClient* m_client;
    QString m_name;
    quint16 m_number = 0;
    quint64 m_createdEpoch = 0;
    State m_state = Closed;
    bool m_flowActive = true;
    quint64 m_openCount = 0;
    QList<Call> m_calls;

    // A message under assembly: its method, then its header, then its body.
    enum Content { NoContent, ExpectHeader, ExpectBody };
    Content m_content = NoContent;
    amqp::Method m_contentMethod;
    QByteArray m_contentProperties;
    quint64 m_bodySize = 0;
    QByteArray m_body;
};
