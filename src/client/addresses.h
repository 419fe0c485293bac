// Where the service lives. The release build compiles the addresses in; the
// test build reads them from the environment so it can talk to a local fake.
#pragma once

#include <string>

namespace rest_client {

std::string default_api_base_url();          // ends in "/api", no trailing slash
std::string default_account_service_url();   // login and API-key page host
std::string default_docs_site_url();         // SDK documentation site

}  // namespace rest_client
