#pragma once

#include "modem_id_result.h"

#include <QByteArray>

class DumpLimiter;
class logger;

// Classifies one body and finds its device number: a JSON object or array is
// text and carries "modem_id" at its top level; anything else is parsed as a
// binary_struct.ComplexMessage. An unparsable binary body gives an absent
// modem_id and one Error entry: with its size only when `dumps` refuses, else
// also its first 4096 bytes in hex and raw form, control bytes and the
// backslash of the raw form written as escapes. Never throws.
ModemIdResult decodeModemId(const QByteArray& body, logger& log, DumpLimiter& dumps);
