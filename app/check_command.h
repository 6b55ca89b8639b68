#pragma once

#include <QString>

// `shardex --check`: reads the settings file with exactly the rules of a
// start, connects to nothing and writes no log. Each problem goes to stderr
// as "key: value: reason" and the result is EX_CONFIG (78); usable settings
// give one summary line on stdout and 0. What the file holds that shardex
// does not read (unknown keys and sections, lines that are no key=value) goes
// to stderr as the start's Warning lines do, and leaves the result alone.
// `logPath` is the log file given with -l (empty: none given): one the start
// could not write is a problem too ("log file: PATH: reason"); "-", standard
// output, always does.
int run_check(const QString& settingsPath, const QString& logPath = QString());
