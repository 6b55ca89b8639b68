#pragma once

#include "amqp/qamqptable.h"

#include <QByteArray>
#include <QString>

namespace amqp {

// Method ids as on the wire: class id in the high 16 bits, method id below.
enum MethodId : quint32 {
    ConnectionStart = 0x000A000A,
    ConnectionStartOk = 0x000A000B,
    ConnectionSecure = 0x000A0014,
    ConnectionTune = 0x000A001E,
    ConnectionTuneOk = 0x000A001F,
    ConnectionOpen = 0x000A0028,
    ConnectionOpenOk = 0x000A0029,
    ConnectionClose = 0x000A0032,
    ConnectionCloseOk = 0x000A0033,
    ConnectionBlocked = 0x000A003C,
    ConnectionUnblocked = 0x000A003D,
    ChannelOpen = 0x0014000A,
    ChannelOpenOk = 0x0014000B,
    ChannelFlow = 0x00140014,
    ChannelFlowOk = 0x00140015,
    ChannelClose = 0x00140028,
    ChannelCloseOk = 0x00140029,
    ExchangeDeclare = 0x0028000A,
    ExchangeDeclareOk = 0x0028000B,
    QueueDeclare = 0x0032000A,
    QueueDeclareOk = 0x0032000B,
    QueueBind = 0x00320014,
    QueueBindOk = 0x00320015,
    BasicQos = 0x003C000A,
    BasicQosOk = 0x003C000B,
    BasicConsume = 0x003C0014,
    BasicConsumeOk = 0x003C0015,
    BasicCancel = 0x003C001E,
    BasicCancelOk = 0x003C001F,
    BasicPublish = 0x003C0028,
    BasicReturn = 0x003C0032,
    BasicDeliver = 0x003C003C,
    BasicGetOk = 0x003C0047,
    BasicAck = 0x003C0050,
    BasicReject = 0x003C005A,
    BasicNack = 0x003C0078,
    ConfirmSelect = 0x0055000A,
    ConfirmSelectOk = 0x0055000B,
};

constexpr quint16 BasicClass = 60;

// AMQP reply codes this layer sends or explains.
enum ReplyCode : quint16 {
    ReplySuccess = 200,
    FrameError = 501,
    SyntaxError = 502,
    CommandInvalid = 503,
    ChannelError = 504,
    UnexpectedFrame = 505,
    NotImplemented = 540,
    InternalError = 541,
};

// One decoded or to-be-encoded method. A flat record: each method uses the
// fields that its arguments name and leaves the rest at their defaults.
struct Method {
    quint32 id = 0;

    // connection.start / start-ok
    quint8 versionMajor = 0;
    quint8 versionMinor = 0;
    QByteArray mechanisms; // start: space-separated; start-ok: the one chosen
    QByteArray locales;    // start: space-separated; start-ok: the one chosen
    QByteArray response;   // start-ok: the SASL response
    // connection.tune / tune-ok
    quint16 channelMax = 0;
    quint32 frameMax = 0;
    quint16 heartbeat = 0;
    // connection.open
    QString virtualHost;
    // connection.close / channel.close, basic.return
    quint16 replyCode = 0;
    QString replyText;
    quint16 failingClassId = 0;
    quint16 failingMethodId = 0;
    // connection.blocked
    QString reason;
    // channel.flow / flow-ok
    bool active = false;
    // queue.*, basic.*
    QString queue;
    QString exchange;
    QString routingKey;
    QString consumerTag;
    QString exchangeType; // exchange.declare
    bool passive = false;
    bool durable = false;
    bool exclusive = false;
    bool autoDelete = false;
    bool noWait = false;
    bool noLocal = false;
    bool noAck = false;
    bool mandatory = false;
    bool immediate = false;
    bool redelivered = false;
    bool multiple = false;
    bool requeue = false;
    bool global = false;
    bool internal = false;
    quint32 messageCount = 0;
    quint32 consumerCount = 0;
    quint32 prefetchSize = 0;
    quint16 prefetchCount = 0;
    quint64 deliveryTag = 0;
    // start: server properties; start-ok: client properties; declare, bind, consume: arguments
    QAmqpTable table;

    Method() = default;
    explicit Method(quint32 methodId) : id(methodId) {}
    quint16 classId() const { return quint16(id >> 16); }
};

// A readable name such as "basic.deliver", for log lines.
QString methodName(quint32 id);

} // namespace amqp
