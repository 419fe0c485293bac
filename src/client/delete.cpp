// Deleting vectors by string id.
#include "client/handlers.h"
#include "client/service_call.h"
#include "client/state.h"

namespace rest_client {

bool handle_delete_vector(const std::string& project, const std::string& dataset,
                          const std::vector<std::string>& string_ids) {
    // The count shown is what the client sent, not what the service removed.
    const std::string count = std::to_string(string_ids.size());
    ServiceCall call;
    call.announcement = "Deleting " + count + " vectors from dataset " + dataset + "...";
    call.path = "/remove_data";
    call.build = [&](json& request) {
        request["project_name"] = project;
        request["collection_name"] = dataset;
        request["string_ids"] = string_ids;
    };
    call.failure_phrase = "Delete vector failed! Status: ";
    call.on_success = [&](const net::Response& response) {
        const json answer = parse_json(response.text);
        if (answer.value("error_code", "UNKNOWN") == "Success") {
            print_success("Successfully deleted " + count + " vectors from dataset " + dataset);
            return true;
        }
        print_error("Failed to delete vector, error message: " +
                    answer.value("error_message", "UNKNOWN"));
        return false;
    };
    call.catch_prefix = "Error in handle_delete_vector: ";
    return run_service_call(call);
}

}  // namespace rest_client
