// The service client's process-wide state and its console lines.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

// Process-wide values set up before main runs.
extern std::string server_base_url;          // API base URL, endpoint paths are appended
extern const std::string TARVO_CLI_VERSION;  // "1.0.0"
extern int32_t SHARD_SIZE;                   // upload shard size in bytes

namespace rest_client {

extern std::string user_api_key;
extern std::string session_token;
extern std::string username;
extern std::string account_service_url;    // account service, login goes here
extern std::string account_keys_page_url;  // shown in the welcome text
extern std::string sdk_docs_url;           // shown by the shell's welcome lines

// ---- console lines ---------------------------------------------------------------

enum class Colour { none, green, yellow, red };

// Text made safe for the terminal: control characters other than newline
// and tab (C1 controls in UTF-8 included) are shown escaped, as \x1b, so a
// service answer or a typed word can never drive the terminal.
std::string printable(const std::string& text);
// The printable text between the colour's code and the reset; Colour::none
// adds no codes.
std::string coloured(Colour colour, const std::string& text);
// Writes the coloured text and a newline, and flushes. Every console line of
// the client goes through here.
void write_line(std::ostream& out, Colour colour, const std::string& text);

void print_success(std::string message);
void print_warning(std::string message);
void print_error(std::string message);
void print_info(std::string message);
void print_border();

// One line of standard input without its newline; nothing at end of input.
// Reaching the end is forgotten again, so a later question at a terminal
// is read afresh.
std::optional<std::string> read_stdin_line();

}  // namespace rest_client
