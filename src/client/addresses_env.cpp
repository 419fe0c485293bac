// The test build: the same program, pointed at a service named by the
// environment (a local fake in the tests).
#include "client/addresses.h"

#include <cstdlib>

namespace rest_client {
namespace {

std::string env_or(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v ? v : fallback;
}

}  // namespace

std::string default_api_base_url() {
    return env_or("TARVO_TEST_API_URL", "http://127.0.0.1:9/api");
}
std::string default_account_service_url() {
    return env_or("TARVO_TEST_ACCOUNT_URL", "http://127.0.0.1:9");
}
std::string default_docs_site_url() { return "https://www.tarvo.example"; }

}  // namespace rest_client
