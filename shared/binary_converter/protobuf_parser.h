#pragma once

#include "complex_message.pb.h"

#include <QByteArray>

// Parses one body as a binary_struct.ComplexMessage at construction. A body
// that does not parse leaves a non-empty errorText(); nothing is thrown for it.
class ProtobufParser {
public:
    explicit ProtobufParser(const QByteArray& body);
    virtual ~ProtobufParser();
    ProtobufParser(const ProtobufParser&) = delete;
    ProtobufParser& operator=(const ProtobufParser&) = delete;

    QByteArray errorText() const { return m_error; }
    const binary_struct::ComplexMessage& message() const { return m_message; }

private:
    binary_struct::ComplexMessage m_message;
    QByteArray m_error;
};
