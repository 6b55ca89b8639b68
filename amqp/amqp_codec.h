#pragma once

#include "amqp_method.h"
#include "qamqpmessage.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace amqp {

// What a content header frame carries. The properties stay in their wire
// form (see basic_properties.h) until someone asks for their values.
struct ContentHeader {
    quint16 classId = 0;
    quint64 bodySize = 0;
    QByteArray properties;
};

// Encodes and decodes method and content-header payloads with rabbitmq-c's
// generated codec. The only place that sees rabbitmq-c's C types; decoded
// data is copied out and the decoding pool recycled after every call, so
// memory does not grow with the number of frames.
class AmqpCodec {
public:
    AmqpCodec();
    ~AmqpCodec();
    AmqpCodec(const AmqpCodec&) = delete;
    AmqpCodec& operator=(const AmqpCodec&) = delete;

    // A method frame's payload: class id, method id, arguments.
    bool decodeMethod(const char* data, int size, Method& out, QString* error);
    // Appends a method frame's payload to out.
    bool encodeMethod(const Method& method, QByteArray& out, QString* error);

    // A content header frame's payload: class id, weight, body size, properties.
    // The properties are checked whole (tables included) but not converted.
    bool decodeContentHeader(const char* data, int size, ContentHeader& out, QString* error);
    // The values of a property list that decodeContentHeader accepted.
    bool decodeProperties(const QByteArray& list, QAmqpMessage::PropertyHash& out, QString* error);
    bool encodeContentHeader(quint16 classId, quint64 bodySize, const QAmqpMessage::PropertyHash& properties,
                             QByteArray& out, QString* error);

private:
    struct State;
    std::unique_ptr<State> m;
};

} // namespace amqp
