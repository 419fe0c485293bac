#include "client/addresses.h"

namespace rest_client {

std::string default_api_base_url() { return "https://api.tarvo.example/api"; }
std::string default_account_service_url() { return "https://account.tarvo.example"; }
std::string default_docs_site_url() { return "https://www.tarvo.example"; }

}  // namespace rest_client
