#include "e2e_options.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace e2e {

Options::Options(int argc, char** argv, int first, std::string usage)
    : m_program(argc > 0 ? argv[0] : "bench"), m_usage(std::move(usage))
{
    if (argc < first)
        this->usage("missing arguments");
    for (int i = first; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--") {
            m_command.assign(argv + i + 1, argv + argc);
            if (m_command.empty())
                this->usage("no command after --");
            return;
        }
        if (word.size() < 3 || word.compare(0, 2, "--") != 0)
            this->usage("unexpected argument " + word);
        if (i + 1 >= argc)
            this->usage(word + " needs a value");
        m_values[word.substr(2)] = argv[++i];
    }
}

std::string Options::text(const std::string& name) const
{
    const auto it = m_values.find(name);
    if (it == m_values.end())
        usage("--" + name + " is required");
    return it->second;
}

std::string Options::text(const std::string& name, const std::string& fallback) const
{
    const auto it = m_values.find(name);
    return it == m_values.end() ? fallback : it->second;
}

long Options::number(const std::string& name, long min) const
{
    return parse(name, text(name), min);
}

long Options::number(const std::string& name, long min, long fallback) const
{
    const auto it = m_values.find(name);
    return it == m_values.end() ? fallback : parse(name, it->second, min);
}

long Options::parse(const std::string& name, const std::string& value, long min) const
{
    char* end = nullptr;
    const long n = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || n < min)
        usage("--" + name + " needs a number of at least " + std::to_string(min) + ", not " + value);
    return n;
}

void Options::usage(const std::string& problem) const
{
    std::fprintf(stderr, "%s: %s\nusage: %s %s\n", m_program.c_str(), problem.c_str(), m_program.c_str(),
                 m_usage.c_str());
    std::exit(2);
}

} // namespace e2e
