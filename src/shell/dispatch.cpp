#include "dispatch.h"

namespace shell {

Handlers client_handlers() {
    using namespace rest_client;
    Handlers h;
    h.attach_index = handle_attach_index;
    h.init_dataset = handle_init_dataset;
    h.create_project = handle_create_project;
    h.delete_dataset = handle_delete_dataset;
    h.delete_project = handle_delete_project;
    h.delete_index = handle_delete_index;
    h.fetch_datasets = handle_fetch_datasets;
    h.fetch_projects = handle_fetch_projects;
    h.list_index_infos = handle_list_index_infos;
    h.delete_vector = handle_delete_vector;
    h.insert_vector_dense = static_cast<bool (*)(S, S, S, Strings, OptionMap)>(handle_insert_vector);
    h.insert_vector_sparse = static_cast<bool (*)(S, S, S, S, OptionMap)>(handle_insert_vector);
    h.insert_vector_batch_dense =
        static_cast<bool (*)(S, S, Strings, Rows, OptionMap)>(handle_insert_vector_batch);
    h.insert_vector_batch_sparse =
        static_cast<bool (*)(S, S, Strings, const Strings&, OptionMap)>(handle_insert_vector_batch);
    h.search = handle_search;
    h.upload = handle_upload;
    return h;
}

Handlers& handlers() {
    static Handlers table = client_handlers();
    return table;
}

}  // namespace shell
