// Uploading whole data files in compressed, checksummed shards.
#include "client/rest_client.h"

namespace rest_client {

bool handle_upload(const std::string&, const std::string&, std::unordered_map<std::string, std::string>) {
    return false;
}

}  // namespace rest_client
