#include "protobuf_parser.h"

#include <exception>

ProtobufParser::ProtobufParser(const QByteArray& body)
{
    try {
        if (!m_message.ParseFromArray(body.constData(), body.size()))
            m_error = "cannot parse from binary array, size= " + QByteArray::number(body.size());
    } catch (const std::exception& e) {
        m_error = QByteArray("exception during message parsing: ") + e.what()
                  + ", message size: " + QByteArray::number(body.size());
    }
}

ProtobufParser::~ProtobufParser() = default;
