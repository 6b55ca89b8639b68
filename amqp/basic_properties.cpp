#include "basic_properties.h"

#include "qamqpmessage.h"

#include <QtEndian>

namespace amqp::basic_properties {

namespace {

constexpr quint16 ContentTypeFlag = QAmqpMessage::ContentType;
// Bits 15 to 2 name the fourteen properties; bit 0 would announce another
// flag word, which the basic class never needs.
constexpr quint16 KnownFlags = 0xFFFC;

// The wire size of the property with this flag at p, or -1 when it runs past end.
int field_size(quint16 flag, const char* p, const char* end)
{
    const qint64 left = end - p;
    switch (flag) {
    case QAmqpMessage::Headers:
        return left < 4 ? -1 : (left - 4 < qint64(qFromBigEndian<quint32>(p)) ? -1 : 4 + int(qFromBigEndian<quint32>(p)));
    case QAmqpMessage::DeliveryMode:
    case QAmqpMessage::Priority: return left < 1 ? -1 : 1;
    case QAmqpMessage::Timestamp: return left < 8 ? -1 : 8;
    default: // a short string
        return left < 1 || left - 1 < quint8(*p) ? -1 : 1 + quint8(*p);
    }
}

void append_flags(QByteArray& out, quint16 flags)
{
    char word[2];
    qToBigEndian<quint16>(flags, word);
    out.append(word, 2);
}

} // namespace

QByteArray withContentType(const QByteArray& contentType)
{
    if (contentType.size() > 255)
        return QByteArray();
    QByteArray out;
    out.reserve(3 + contentType.size());
    append_flags(out, contentType.isEmpty() ? 0 : ContentTypeFlag);
    if (!contentType.isEmpty()) {
        out.append(char(contentType.size()));
        out.append(contentType);
    }
    return out;
}

bool wellFormed(const char* list, int size)
{
    if (size < 2)
        return false;
    const quint16 flags = qFromBigEndian<quint16>(list);
    if (flags & ~KnownFlags)
        return false;
    const char* p = list + 2;
    const char* const end = list + size;
    for (quint16 flag = 0x8000; flag & KnownFlags; flag >>= 1) {
        if (!(flags & flag))
            continue;
        const int field = field_size(flag, p, end);
        if (field < 0)
            return false;
        p += field;
    }
    return p == end; // nothing behind the last property
}

QByteArray select(const QByteArray& list, quint16 keep, const QByteArray& contentType)
{
    if (!wellFormed(list.constData(), list.size()) || contentType.size() > 255)
        return QByteArray();
    const char* p = list.constData() + 2;
    const char* const end = list.constData() + list.size();
    const quint16 flags = qFromBigEndian<quint16>(list.constData());
    keep &= KnownFlags & ~ContentTypeFlag;

    QByteArray out;
    out.reserve(list.size() + 1 + contentType.size());
    append_flags(out, quint16((flags & keep) | (contentType.isEmpty() ? 0 : ContentTypeFlag)));
    if (!contentType.isEmpty()) {
        out.append(char(contentType.size()));
        out.append(contentType);
    }
    // Runs of kept properties are copied whole: with nothing dropped but the
    // content type, that is one copy.
    const char* run = nullptr;
    for (quint16 flag = 0x8000; flag & KnownFlags; flag >>= 1) {
        if (!(flags & flag))
            continue;
        const int size = field_size(flag, p, end); // fits: the list is well formed
        if (keep & flag) {
            if (!run)
                run = p;
        } else if (run) {
            out.append(run, int(p - run));
            run = nullptr;
        }
        p += size;
    }
    if (run)
        out.append(run, int(p - run));
    return out;
}

} // namespace amqp::basic_properties
