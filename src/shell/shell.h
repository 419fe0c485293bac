// Running one command line through the scanner and the grammar.
#pragma once

#include <string>

namespace shell {

// Parses and carries out one command line (which must end in a newline).
// False only when the line could not be handed to the scanner.
bool run_command_line(const std::string& line);

}  // namespace shell
