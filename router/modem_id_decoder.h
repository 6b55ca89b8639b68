#pragma once

#include "modem_id_result.h"

#include <QByteArray>

class DumpLimiter;
class logger;

// Classifies one body and finds its device number: a JSON object or array is
// text and carries "modem_id" at its top level; anything else is parsed as a
// binary_struct.ComplexMessage. An unparsable binary body gives an absent
// modem_id and an Error entry with its size and its first 4096 bytes in hex
// and raw form (control bytes and the backslash of the raw form written as
// escapes), as long as `dumps` admits it; the others are counted, and summed
// up in one Error line a minute (logLeftOutBodies). Never throws.
ModemIdResult decodeModemId(const QByteArray& body, logger& log, DumpLimiter& dumps);

// The Error line that sums up the bodies left out of the dumps, once a minute
// has passed since the first of them; nothing otherwise. Called on each
// left-out body, and now and then by the router, so the last of a flood is
// summed up too.
void logLeftOutBodies(logger& log, DumpLimiter& dumps);
