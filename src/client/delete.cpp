// Deleting vectors by string id.
#include "client/rest_client.h"

namespace rest_client {

bool handle_delete_vector(const std::string&, const std::string&, const std::vector<std::string>&) {
    return false;
}

}  // namespace rest_client
