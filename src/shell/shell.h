// Running one command line through the scanner and the grammar.
#pragma once

#include <string>

namespace shell {

// Parses and carries out one command line (which must end in a newline).
// False only when the line could not be handed to the scanner.
bool run_command_line(const std::string& line);

// The same, returning the parser's result: 0 accepted (also after a
// recovered error), 1 abandoned, 2 stack exhausted; -1 when the line could
// not be handed to the scanner.
int parse_command_line(const std::string& line);

}  // namespace shell
