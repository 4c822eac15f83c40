#include "cli/cli_args.h"

#include <cerrno>
#include <cstdlib>

namespace zaq {

bool CliArgs::parse(int argc, char** argv, const std::set<std::string>& flags, std::string* error) {
    for (int i = 0; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) != 0 || word.size() < 3) {
            *error = "unexpected argument: " + word;
            return false;
        }
        std::string name = word.substr(2);
        if (flags.count(name)) {
            m_values[name] = "1";
            continue;
        }
        if (i + 1 >= argc) {
            *error = "missing value for " + word;
            return false;
        }
        m_values[name] = argv[++i];
    }
    return true;
}

std::string CliArgs::get(const std::string& name, const std::string& fallback) const {
    auto it = m_values.find(name);
    return it == m_values.end() ? fallback : it->second;
}

bool parseInt(const std::string& text, long lo, long hi, int* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno || *end || v < lo || v > hi) return false;
    *out = int(v);
    return true;
}

}  // namespace zaq
