// Command-line options of the form --name value and bare --flag.
#pragma once

#include <map>
#include <set>
#include <string>

namespace zaq {

class CliArgs {
public:
    // False with a message on an unknown shape (a word without --, a missing value).
    bool parse(int argc, char** argv, const std::set<std::string>& flags, std::string* error);
    bool has(const std::string& name) const { return m_values.count(name) > 0; }
    std::string get(const std::string& name, const std::string& fallback = {}) const;

private:
    std::map<std::string, std::string> m_values;
};

// Whole number within [lo, hi]; false for anything else.
bool parseInt(const std::string& text, long lo, long hi, int* out);

}  // namespace zaq
