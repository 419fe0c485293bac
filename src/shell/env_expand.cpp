// The variable pattern is \$\{?([A-Za-z_][A-Za-z0-9_]*)\}? taken left to
// right without overlaps. It is matched by a plain scan rather than
// std::regex: the library's matcher recurses once per name character and
// overflows the stack on a long word.
#include <cstdlib>

#include "shell/scanner.h"

namespace {

bool name_start(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool name_char(char c) { return name_start(c) || (c >= '0' && c <= '9'); }

}  // namespace

std::string expand_env_vars(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    size_t copied = 0;  // text before this is in `out`
    size_t pos = 0;
    while ((pos = text.find('$', pos)) != std::string::npos) {
        size_t name_begin = pos + 1;
        if (name_begin < text.size() && text[name_begin] == '{') ++name_begin;
        if (name_begin >= text.size() || !name_start(text[name_begin])) {
            ++pos;
            continue;
        }
        size_t name_end = name_begin + 1;
        while (name_end < text.size() && name_char(text[name_end])) ++name_end;
        size_t match_end = name_end;
        if (match_end < text.size() && text[match_end] == '}') ++match_end;

        out.append(text, copied, pos - copied);
        std::string name = text.substr(name_begin, name_end - name_begin);
        if (const char* value = std::getenv(name.c_str()))
            out += value;
        else
            out.append(text, pos, match_end - pos);
        copied = pos = match_end;
    }
    out.append(text, copied, std::string::npos);
    return out;
}
