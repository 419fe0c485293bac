// Process-wide client state and the console lines of the service client.
#include "client/state.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "client/addresses.h"
#include "client/helpers.h"
#include "client/rate_limiter.h"
#include "client/seams.h"

namespace rest_client {
namespace {

int32_t shard_size_from_environment() {
    constexpr int32_t kDefault = 209715200;  // 200 MiB
    const char* text = std::getenv("SHARD_SIZE");
    if (!text) return kDefault;
    std::optional<int32_t> value = parse_int32(text);
    if (!value) {
        std::cerr << "[WARNING] SHARD_SIZE is not a 32-bit integer, using " << kDefault
                  << " bytes" << std::endl;
        return kDefault;
    }
    return *value;
}

}  // namespace
}  // namespace rest_client

// Set-up order matters: version, shard size, base URL, credentials, limiter.
const std::string TARVO_CLI_VERSION = "1.0.0";
int32_t SHARD_SIZE = rest_client::shard_size_from_environment();
std::string server_base_url = rest_client::default_api_base_url();

namespace rest_client {

std::string user_api_key;
std::string session_token;
std::string username;
std::string account_service_url = default_account_service_url();
std::string account_keys_page_url = default_account_service_url() + "/user-api-keys";
std::string sdk_docs_url = default_docs_site_url() + "/index.php?section=sdkSection";

OperationLimit record;
std::mutex operation_limit_mutex;

std::string printable(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    auto escape = [](std::string& out, unsigned char c) {
        out += "\\x";
        out += hex[c >> 4];
        out += hex[c & 15];
    };
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                        (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) {
            escape(out, c);
        } else if (c1) {  // U+0080 to U+009F
            escape(out, c);
            escape(out, static_cast<unsigned char>(text[++i]));
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string coloured(Colour colour, const std::string& text) {
    static const char* const kCodes[] = {"", "\033[32m", "\033[33m", "\033[31m"};
    if (colour == Colour::none) return printable(text);
    return kCodes[static_cast<int>(colour)] + printable(text) + "\033[0m";
}

void write_line(std::ostream& out, Colour colour, const std::string& text) {
    out << coloured(colour, text) << std::endl;
}

void print_success(std::string message) { write_line(std::cout, Colour::green, "[SUCCESS] " + message); }
void print_warning(std::string message) { write_line(std::cout, Colour::yellow, "[WARNING]" + message); }
void print_error(std::string message) { write_line(std::cout, Colour::red, "[ERROR] " + message); }
void print_info(std::string message) { write_line(std::cerr, Colour::none, "[INFO] " + message); }
void print_border() { write_line(std::cout, Colour::none, "================================"); }

std::optional<std::string> read_stdin_line() {
    if (const auto& reader = seams().read_line) return reader();
    std::string line;
    if (std::getline(std::cin, line)) return line;
    std::cin.clear();
    std::clearerr(stdin);
    return std::nullopt;
}

}  // namespace rest_client

namespace rest_client {

Seams& seams() {
    static Seams current;
    return current;
}

}  // namespace rest_client
