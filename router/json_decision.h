#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <cstddef>

// Whether a body is JSON text, and its device number when it is.
//
// Text is one JSON object or array, after an optional UTF-8 byte order mark,
// with JSON white space around it: exactly the bodies QJsonDocument reads
// without error. The device is the top-level "modem_id" when it is a number
// with an integral value in the signed 32-bit range, 0 for any other value, -1
// when it is missing or the text is an array. When the key repeats, the member
// that counts is the one QJsonDocument finds: the last one in an object of up
// to 16 members, but beyond that whichever its unstable sort of the members by
// name leaves last (see json_repeated_key.h).
struct JsonDecision {
    bool text = false;
    qint32 modem_id = -1;
};

// Decides in one pass over the bytes, in time linear in their number and in
// fixed memory (no tree is built, nothing is allocated), so that any body,
// however large or hostile, costs no more than reading it once. Only a body
// whose top-level object names "modem_id" more than once takes a second pass
// that collects the top-level member names and sorts them: memory linear in
// the body, O(n log n) name comparisons for n members.
JsonDecision json_decision(const char* data, size_t size);

inline JsonDecision json_decision(const QByteArray& body)
{
    return json_decision(body.constData(), size_t(body.size()));
}
