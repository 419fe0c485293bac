#include "console.h"

#include <iostream>

void yyerror(const char* message) {
    std::cout << "\033[31m[ERROR] " << message << "\033[0m" << std::endl;
    std::cout << "Use COMMAND_NAME -h to find the format of a command or HELP to get the list "
                 "of all valid commands"
              << std::endl;
}

void yywarning(const char* message) {
    std::cout << "\033[33m[WARNING] " << message << "\033[0m" << std::endl;
}

void debug(std::string message) {
    std::cerr << "\033[32m[Tarvo] " << message << "\033[0m" << std::endl;
}
