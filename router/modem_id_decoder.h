#pragma once

#include "modem_id_result.h"

#include <QByteArray>

class logger;

// Classifies one body and finds its device number: a JSON object or array is
// text and carries "modem_id" at its top level; anything else is parsed as a
// binary_struct.ComplexMessage. An unparsable binary body gives an absent
// modem_id and one Error line with the body (its first 4096 bytes) in hex and
// raw form. Never throws.
ModemIdResult decodeModemId(const QByteArray& body, logger& log);
