#pragma once

#include <map>
#include <string>
#include <vector>

namespace e2e {

// A command line of "--name value" pairs after a fixed number of leading
// words, optionally followed by "--" and a command. Anything malformed prints
// `usage` and ends the process with status 2.
class Options {
public:
    Options(int argc, char** argv, int first, std::string usage);

    std::string text(const std::string& name) const;                      // required
    std::string text(const std::string& name, const std::string& fallback) const;
    long number(const std::string& name, long min) const;                  // required
    long number(const std::string& name, long min, long fallback) const;
    const std::vector<std::string>& command() const { return m_command; } // the words after "--"

    [[noreturn]] void usage(const std::string& problem) const;

private:
    long parse(const std::string& name, const std::string& value, long min) const;

    std::string m_program;
    std::string m_usage;
    std::map<std::string, std::string> m_values;
    std::vector<std::string> m_command;
};

} // namespace e2e
