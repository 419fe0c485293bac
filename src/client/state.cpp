// Process-wide client state and the console lines of the service client.
#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <iostream>

#include "client/addresses.h"
#include "client/rest_client.h"

namespace rest_client {

bool parse_shard_size(const std::string& text, int32_t& out) {
    const char* s = text.c_str();
    while (std::isspace(static_cast<unsigned char>(*s))) ++s;
    const char* digits = s;
    if (*digits == '+' || *digits == '-') ++digits;
    if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(s, &end, 10);
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int32_t>(v);
    return true;
}

namespace {

int32_t shard_size_from_environment() {
    constexpr int32_t kDefault = 209715200;  // 200 MiB
    const char* text = std::getenv("SHARD_SIZE");
    if (!text) return kDefault;
    int32_t value = kDefault;
    if (!parse_shard_size(text, value)) {
        std::cerr << "[WARNING] SHARD_SIZE is not a 32-bit integer, using " << kDefault
                  << " bytes" << std::endl;
        return kDefault;
    }
    return value;
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

void print_success(std::string message) {
    std::cout << "\033[32m[SUCCESS] " << message << "\033[0m" << std::endl;
}

void print_warning(std::string message) {
    std::cout << "\033[33m[WARNING]" << message << "\033[0m" << std::endl;
}

void print_error(std::string message) {
    std::cout << "\033[31m[ERROR] " << message << "\033[0m" << std::endl;
}

void print_info(std::string message) { std::cerr << "[INFO] " << message << std::endl; }

void print_border() { std::cout << "================================" << std::endl; }

}  // namespace rest_client
