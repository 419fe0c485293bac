// The shell's own console lines: language errors, warnings and trace lines.
// They are separate from the service client's tagged lines.
#pragma once

#include <string>

// Red "[ERROR] " line on standard output, then the uncoloured hint line.
void yyerror(const char* message);
// Yellow "[WARNING] " line on standard output.
void yywarning(const char* message);
// Green "[Tarvo] " trace line on standard error; always on.
void debug(std::string message);
