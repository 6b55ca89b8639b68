#pragma once

#include <QtGlobal>

namespace amqp {

// Frame layout: type (1), channel (2), payload size (4), payload, end octet.
constexpr int FrameHeaderSize = 7;
constexpr int FrameEndSize = 1;
constexpr int FrameOverhead = FrameHeaderSize + FrameEndSize;
constexpr quint8 FrameEnd = 0xCE;

enum FrameType : quint8 {
    FrameMethod = 1,
    FrameHeader = 2,
    FrameBody = 3,
    FrameHeartbeat = 8,
};

// The smallest frame_max a peer must accept, and the one this client asks for.
constexpr quint32 FrameMinSize = 4096;
constexpr quint32 FrameMaxWanted = 131072;

// One frame as the reader found it. The payload points into the reader's
// buffer and is valid until the reader is next appended to or reset.
struct FrameView {
    quint8 type = 0;
    quint16 channel = 0;
    const char* payload = nullptr;
    int size = 0;
};

} // namespace amqp
