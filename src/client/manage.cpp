// Projects, datasets and indexes: create, delete and list.
#include "client/rest_client.h"

namespace rest_client {

bool handle_create_project(const std::string&, const std::string&) { return false; }
bool handle_init_dataset(const std::string&, const std::string&, const std::string&,
                         const std::string&) { return false; }
bool handle_delete_project(const std::string&) { return false; }
bool handle_delete_dataset(const std::string&, const std::string&) { return false; }
bool handle_delete_index(const std::string&, const std::string&, const std::string&) { return false; }
bool handle_fetch_projects() { return false; }
bool handle_fetch_datasets(const std::string&) { return false; }
bool handle_list_index_infos(const std::string&, const std::string&) { return false; }

}  // namespace rest_client
