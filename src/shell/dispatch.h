// The command handlers the statements call: the service client's own, held
// in one table so that a test can put a recorder in place of any of them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "client/rest_client.h"

namespace shell {

using Strings = std::vector<std::string>;
using Rows = std::vector<std::vector<std::string>>;
using OptionMap = rest_client::OptionMap;
using S = const std::string&;

struct Handlers {
    std::function<bool(S, S, S, S, const bool&)> attach_index;
    std::function<bool(S, S, S, S)> init_dataset;
    std::function<bool(S, S)> create_project;
    std::function<bool(S, S)> delete_dataset;
    std::function<bool(S)> delete_project;
    std::function<bool(S, S, S)> delete_index;
    std::function<bool(S)> fetch_datasets;
    std::function<bool()> fetch_projects;
    std::function<bool(S, S)> list_index_infos;
    std::function<bool(S, S, const Strings&)> delete_vector;
    std::function<bool(S, S, S, Strings, OptionMap)> insert_vector_dense;
    std::function<bool(S, S, S, S, OptionMap)> insert_vector_sparse;
    std::function<bool(S, S, Strings, Rows, OptionMap)> insert_vector_batch_dense;
    std::function<bool(S, S, Strings, const Strings&, OptionMap)> insert_vector_batch_sparse;
    std::function<bool(S, S, S, S, OptionMap)> search;
    std::function<bool(S, S, OptionMap)> upload;
};

// The table in use; it starts out with the service client's handlers.
Handlers& handlers();
// The service client's handlers.
Handlers client_handlers();

}  // namespace shell
