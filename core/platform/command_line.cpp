#include "platform/command_line.hpp"

namespace merivane {

std::string quote_command_line(const std::vector<std::string>& argv) {
    std::string line;
    for (const std::string& argument : argv) {
        if (!line.empty()) line += ' ';
        const bool quoted = argument.empty() || argument.find_first_of(" \t") != std::string::npos;
        if (quoted) line += '"';
        std::size_t backslashes = 0;
        for (const char c : argument) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            if (c == '"') {
                line.append(backslashes * 2 + 1, '\\');
            } else {
                line.append(backslashes, '\\');
            }
            backslashes = 0;
            line += c;
        }
        // Backslashes at the end are read literally unless a closing quote
        // follows them.
        line.append(quoted ? backslashes * 2 : backslashes, '\\');
        if (quoted) line += '"';
    }
    return line;
}

}  // namespace merivane
