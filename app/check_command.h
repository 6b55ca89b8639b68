#pragma once

#include <QString>

// `shardex --check`: reads the settings file with exactly the rules of a
// start, connects to nothing and writes no log. Each problem goes to stderr
// as "key: value: reason" and the result is EX_CONFIG (78); usable settings
// give one summary line on stdout and 0.
int run_check(const QString& settingsPath);
