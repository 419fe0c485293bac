// Nearest-neighbour search.
#include "client/rest_client.h"

namespace rest_client {

bool handle_search(const std::string&, const std::string&, const std::string&, const std::string&,
                   std::unordered_map<std::string, std::string>) {
    return false;
}

}  // namespace rest_client
