#pragma once

#include <QtGlobal>

#include <optional>

// What the decode step learns about one body.
struct ModemIdResult {
    // The device number; -1 means "no particular device" (every shard). Absent
    // when the body was taken as binary and could not be parsed.
    std::optional<qint32> modem_id;
    // True when the body is not JSON and was handled as protobuf.
    bool binary = false;
};
