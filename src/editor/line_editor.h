// Line editing with an in-memory history, over libedit. Knows nothing of
// the service or the command language.
#pragma once

#include <optional>
#include <string>

namespace editor {

// Shows the prompt and reads one line. No line (std::nullopt) on end of
// input, on Ctrl-D at an empty line and on Ctrl-C. When standard input is not
// a terminal the line is read as it stands, without a prompt.
std::optional<std::string> read_line(const std::string& prompt);

// Adds a line to the history (at most 100 entries, the oldest dropped).
void history_add(const std::string& line);

}  // namespace editor
