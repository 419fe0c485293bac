// Inserting one vector or a batch, dense or sparse.
#include "client/rest_client.h"

namespace rest_client {

bool handle_insert_vector(const std::string&, const std::string&, const std::string&,
                          std::vector<std::string>, std::unordered_map<std::string, std::string>) {
    return false;
}
bool handle_insert_vector(const std::string&, const std::string&, const std::string&,
                          const std::string&, std::unordered_map<std::string, std::string>) {
    return false;
}
bool handle_insert_vector_batch(const std::string&, const std::string&, std::vector<std::string>,
                                std::vector<std::vector<std::string>>,
                                std::unordered_map<std::string, std::string>) {
    return false;
}
bool handle_insert_vector_batch(const std::string&, const std::string&, std::vector<std::string>,
                                const std::vector<std::string>&,
                                std::unordered_map<std::string, std::string>) {
    return false;
}

}  // namespace rest_client
