#pragma once

#include <QString>

class logger;

// Starts the service's log at `path` (as given with -l): Info level, and the
// start line with the version. An empty path logs nowhere, which is said on
// standard error.
void begin_service_log(logger& log, const QString& path);
