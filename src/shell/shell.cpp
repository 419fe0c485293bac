#include "shell/shell.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>

#include "shell/console.h"
#include "shell/parser.tab.hpp"
#include "shell/scanner.h"

namespace shell {

int parse_command_line(const std::string& line) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::tmpfile(), std::fclose);
    if (!file) {
        std::cerr << "Error creating temp file for input" << std::endl;
        return -1;
    }
    // Written whole, NUL bytes included: the scanner skips them like any
    // other stray character. A short write (a full disk) would parse a cut
    // line, so it ends the line like a file that cannot be made.
    if (std::fwrite(line.data(), 1, line.size(), file.get()) != line.size() ||
        std::fflush(file.get()) != 0) {
        std::cerr << "Error writing temp file for input" << std::endl;
        return -1;
    }
    std::rewind(file.get());
    yyin = file.get();
    int result = 1;
    try {
        result = yyparse();
    } catch (const std::exception& e) {
        yyerror(e.what());
    }
    file.reset();
    yylex_destroy();
    return result;
}

bool run_command_line(const std::string& line) {
    // A failing statement ends only this line.
    return parse_command_line(line) != -1;
}

}  // namespace shell
