// Process entry: login, version check, then the command shell, either
// interactive or one command formed from the arguments.
#include <iostream>
#include <optional>
#include <string>

#include "client/handlers.h"
#include "client/state.h"
#include "editor/line_editor.h"
#include "shell/shell.h"

namespace {

bool is_exit_word(const std::string& line) {
    return line == "exit" || line == "quit" || line == "e" || line == "q";
}

int run_interactive() {
    std::cout << "Welcome to use Tarvo database Command Line Interface (CLI)!\n"
              << "You can manage your projects and data collections, construct indices, and "
                 "search for queries.\n"
              << "Please see " << rest_client::sdk_docs_url << " for documentation.\n"
              << "\n\n"
              << "Use 'HELP' to see the list of commands\n"
              << "For each command, you can type 'COMMAND -h' to see help.\n"
              << "Type 'exit' to exit." << std::endl;
    for (;;) {
        std::optional<std::string> line = editor::read_line("> ");
        if (!line) return 0;
        if (is_exit_word(*line)) {
            std::cout << "Bye!" << std::endl;
            return 0;
        }
        if (!line->empty()) editor::history_add(*line);
        shell::run_command_line(*line + "\n");
    }
}

int run_one_shot(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) line += std::string(argv[i]) + " ";
    return shell::run_command_line(line + "\n") ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    rest_client::prompt_and_authenticate();
    if (!rest_client::handle_check_cli_version()) return 1;
    return argc < 2 ? run_interactive() : run_one_shot(argc, argv);
}
