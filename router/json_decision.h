#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

// Whether a body is JSON text, and its device number when it is: text if and
// only if QJsonDocument parses it without error as one object or array; the
// device is its top-level "modem_id" when that is a number with an integral
// value in the signed 32-bit range, 0 for any other value, -1 when missing.
struct JsonDecision {
    bool text = false;
    qint32 modem_id = -1;
};

// The decision as QJsonDocument makes it: the definition.
JsonDecision qt_json_decision(const QByteArray& body);

// The same decision by a faster parser, or nothing when it cannot be sure to
// decide as QJsonDocument does: a body it refuses, a top-level scalar, a
// repeated "modem_id", a large or deeply nested body. It says "not text" only
// for a body whose first byte can open no JSON text (a protobuf envelope).
std::optional<JsonDecision> fast_json_decision(const QByteArray& body);

// The fast decision when there is one, else QJsonDocument's.
JsonDecision json_decision(const QByteArray& body);
