#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace amqp {

// The property list of a basic content header as it travels on the wire: the
// property flags, then each property present, in flag order. Kept as these
// bytes, a delivery's properties pass on to a publication without being
// decoded and encoded again, so every field, each header's AMQP field type
// included, leaves exactly as it came.
namespace basic_properties {

// A list with no property but the content type (none when it is empty); an
// empty QByteArray for a content type longer than 255 bytes.
QByteArray withContentType(const QByteArray& contentType);

// Whether the size bytes at list are a property list of the basic class:
// only flags this class has, and every field within the bytes, with nothing
// behind the last. (What a table holds is not looked into here.)
bool wellFormed(const char* list, int size);

// The properties of `list` whose flags are set in `keep`, with `contentType`
// (none when empty) in place of the list's own content type; an empty
// QByteArray when `list` is not well formed or the content type is longer
// than 255 bytes.
QByteArray select(const QByteArray& list, quint16 keep, const QByteArray& contentType);

} // namespace basic_properties
} // namespace amqp
