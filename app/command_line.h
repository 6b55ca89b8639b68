#pragma once

#include <QString>

class QCoreApplication;

struct CommandLine {
    QString settingsPath; // -c, --config
    QString logPath;      // -l, --log: "-" for standard output
    bool logGiven = false;
    bool check = false; // --check: check the settings file and exit
};

// Names the application (the name and version that --help and --version
// show) and reads its command line. Ends the process for --help, --version
// and a malformed command line.
CommandLine read_command_line(const QCoreApplication& app);
