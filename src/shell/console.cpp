#include "shell/console.h"

#include <iostream>

#include "client/state.h"

using rest_client::Colour;
using rest_client::write_line;

void yyerror(const char* message) {
    write_line(std::cout, Colour::red, std::string("[ERROR] ") + message);
    write_line(std::cout, Colour::none,
               "Use COMMAND_NAME -h to find the format of a command or HELP to get the list of all "
               "valid commands");
}

void yywarning(const char* message) {
    write_line(std::cout, Colour::yellow, std::string("[WARNING] ") + message);
}

void debug(std::string message) { write_line(std::cerr, Colour::green, "[Tarvo] " + message); }
