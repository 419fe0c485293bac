// Projects, datasets and indexes: create, delete and list. Each command is one
// service call; the three deletions and the three listings share one runner
// each and differ only in the words of their table rows.
#include <cmath>
#include <iostream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "client/handlers.h"
#include "client/helpers.h"
#include "client/service_call.h"
#include "client/state.h"

namespace rest_client {
namespace {

using Keys = std::vector<std::pair<const char*, std::string>>;

std::function<void(json&)> add_keys(Keys keys) {
    return [keys = std::move(keys)](json& request) {
        for (const auto& [key, value] : keys) request[key] = value;
    };
}

// ---- deletion ------------------------------------------------------------------------

// `noun` names the endpoint, the handler and the lines: "project", "dataset", "index".
bool run_delete(const std::string& noun, std::string announcement, Keys keys,
                std::string success_line) {
    ServiceCall call;
    call.announcement = std::move(announcement);
    call.path = "/delete_" + noun;
    call.build = add_keys(std::move(keys));
    call.failure_phrase = "Delete " + noun + " failed! Status: ";
    call.on_success = [&](const net::Response& response) {
        // value() throws on an answer that is not an object and on keys of the wrong type.
        const json answer = parse_json(response.text);
        if (answer.value("success", false))
            print_success(success_line);
        else
            print_error("Failed to delete " + noun +
                        ", error code: " + answer.value("error_code", std::string("UNKNOWN")));
        // The service answered; a refused delete is still a completed command.
        return true;
    };
    call.catch_prefix = "Error in handle_delete_" + noun + ": ";
    return run_service_call(call);
}

// ---- listing ---------------------------------------------------------------------------

// One printed line of a list entry: the label and how the entry gives its text.
// Reading the element through at() keeps a missing key or an element of the
// wrong shape inside the library's checks, so it ends in the catch line.
struct Field {
    const char* label;
    std::function<std::string(const json& element)> text;
};

Field json_text(const char* label, const char* key) {
    return {label, [key](const json& e) { return e.at(key).dump(); }};
}

Field json_text(const char* label, size_t position) {
    return {label, [position](const json& e) { return e.at(position).dump(); }};
}

Field plain_text(const char* label, const char* key) {
    return {label, [key](const json& e) { return e.at(key).get<std::string>(); }};
}

// The byte count is read as a signed 64-bit value (a fraction truncated) and
// shown as unsigned.
Field readable_size(const char* label, const char* key) {
    return {
        label, [key](const json& e) {
            const json& size = e.at(key);
            // The library would turn a boolean into 0 or 1; the service sends numbers.
            if (!size.is_number())
                throw std::invalid_argument(
                    std::string("[json.exception.type_error.302] type must be number, but is ") +
                    size.type_name());
            // A float outside the 64-bit range has no integer value to truncate to.
            if (size.is_number_float() && !(std::fabs(size.get<double>()) < 9.2e18))
                throw std::out_of_range("size out of range: " + size.dump());
            return to_readable_size(static_cast<uint64_t>(size.get<int64_t>()));
        }};
}

// A listing is a service call whose answer holds a list under one key; each
// element prints as a border and one line per field.
struct Listing {
    ServiceCall call;
    std::string fetched_line;  // printed before the answer is read; empty for none
    std::string list_key;
    std::string count_prefix;  // the count line is prefix + N + suffix
    std::string count_suffix;
    std::vector<Field> fields;
};

bool print_listing(const Listing& listing, const net::Response& response) {
    if (!listing.fetched_line.empty()) print_success(listing.fetched_line);
    const json answer = parse_json(response.text);
    if (!answer.is_object() || !answer.contains(listing.list_key) ||
        !answer.at(listing.list_key).is_array()) {
        print_error("Server returned incorrect response format");
        return false;
    }
    const json& list = answer.at(listing.list_key);
    print_success(listing.count_prefix + std::to_string(list.size()) + listing.count_suffix);
    for (const json& element : list) {
        print_border();
        for (const Field& field : listing.fields) {
            // Read before writing, so a bad value prints no half line.
            const std::string text = field.text(element);
            write_line(std::cout, Colour::none, field.label + text);
        }
    }
    print_border();
    return true;
}

bool run_listing(Listing listing) {
    listing.call.on_success = [&listing](const net::Response& response) {
        return print_listing(listing, response);
    };
    return run_service_call(listing.call);
}

}  // namespace

// ---- creation --------------------------------------------------------------------------

bool handle_create_project(const std::string& project, const std::string& application) {
    ServiceCall call;
    call.announcement =
        "Creating project with project_name, application: " + project + " " + application + "...";
    call.path = "/create_project";
    call.build = [&](json& request) {
        request["project_name"] = project;
        if (application != "search" && application != "autoML" && application != "both")
            throw std::invalid_argument(
                "Please set the application argument to one of 'search', 'autoML', or 'both'");
        request["application"] = application;
    };
    call.failure_phrase = "Create project failed! Status: ";
    call.on_success = [&](const net::Response&) {
        print_success("Create project '" + project + "' succeeded");
        return true;
    };
    call.catch_prefix = "Error in handle_create_project: ";
    return run_service_call(call);
}

bool handle_init_dataset(const std::string& project, const std::string& dataset,
                         const std::string& vector_type, const std::string& vector_dim) {
    ServiceCall call;
    call.announcement = "Creating dataset with project_name, dataset_name, vector_type: " +
                        project + " " + dataset + " " + vector_type + "...";
    call.path = "/init";
    call.build = [&](json& request) {
        request["project_name"] = project;
        request["collection_name"] = dataset;
        request["vector_type"] = vector_type;
        // Leading blanks and a sign are taken, trailing text is ignored.
        request["vector_dim"] = to_int(vector_dim, "Vector Dim should be an integer");
    };
    call.failure_phrase = "Initialize dataset failed! Status: ";
    call.response_separator = std::string("\n Response: ");
    call.on_success = [&](const net::Response&) {
        print_success("Successfully initialized dataset '" + dataset + "'");
        return true;
    };
    call.catch_prefix = "Error in handle_init_dataset: ";
    return run_service_call(call);
}

// ---- deletion --------------------------------------------------------------------------

bool handle_delete_project(const std::string& project) {
    return run_delete("project", "Deleting project called with project_name: " + project + " ...",
                      {{"project_name", project}},
                      "Successfully deleted project '" + project + "'");
}

bool handle_delete_dataset(const std::string& project, const std::string& dataset) {
    return run_delete("dataset", "Deleting dataset with dataset_name: " + dataset + "...",
                      {{"project_name", project}, {"dataset_name", dataset}},
                      "Successfully deleted dataset '" + dataset + "'");
}

bool handle_delete_index(const std::string& project, const std::string& dataset,
                         const std::string& index) {
    return run_delete(
        "index",
        "Deleting index with dataset_name and index_name: " + dataset + " " + index + "...",
        {{"project_name", project}, {"dataset_name", dataset}, {"index_name", index}},
        "Successfully deleted index '" + index + "' from dataset '" + dataset + "'");
}

// ---- listing ---------------------------------------------------------------------------

bool handle_fetch_projects() {
    Listing listing;
    listing.call.announcement = "Fetching projects...";
    listing.call.path = "/fetch_projects";
    listing.call.failure_phrase = "Projects fetch failed! Status: ";
    listing.call.catch_prefix = "Error in handle_fetch_projects: ";
    listing.fetched_line = "Projects fetch succeeded";
    listing.list_key = "projects";
    listing.count_prefix = "Sucessfully fetched ";
    listing.count_suffix = " projects";
    listing.fields = {json_text("Project Name: ", "project_name"),
                      json_text("Project ID: ", "project_id"),
                      json_text("Application: ", "application")};
    return run_listing(std::move(listing));
}

bool handle_fetch_datasets(const std::string& project) {
    Listing listing;
    listing.call.announcement = "Fetching dataset info of project " + project + "...";
    listing.call.path = "/fetch_datasets";
    listing.call.build = add_keys({{"project_name", project}});
    listing.call.failure_phrase = "Datasets fetch failed! Status: ";
    listing.call.catch_prefix = "Error in handle_fetch_datasets: ";
    listing.fetched_line = "Datasets fetch succeeded";
    listing.list_key = "datasets";
    listing.count_prefix = "Successfully fetched ";
    listing.count_suffix = " datasets from project '" + project + "'";
    listing.fields = {plain_text("Name: ", "name"), plain_text("Dimension: ", "dimension"),
                      readable_size("Size: ", "size")};
    return run_listing(std::move(listing));
}

bool handle_list_index_infos(const std::string& project, const std::string& dataset) {
    Listing listing;
    listing.call.announcement = "Listing the indices for dataset_name: " + dataset + "...";
    listing.call.path = "/list_index_infos";
    listing.call.build = add_keys({{"project_name", project}, {"dataset_name", dataset}});
    listing.call.failure_phrase = "Listing index information failed! Status: ";
    listing.call.catch_prefix = "Error in list_index_infos: ";
    listing.list_key = "index_infos";
    listing.count_prefix = "Sucessfully fetched ";
    listing.count_suffix = " index informations";
    listing.fields = {json_text("Index name: ", size_t{0}), json_text("Distance type: ", size_t{1})};
    return run_listing(std::move(listing));
}

}  // namespace rest_client
