// Attaching an index to a dataset and following the server job. The dataset's
// vector count, looked up first, sets how long the poll waits between rounds.
#include <chrono>
#include <optional>
#include <iostream>
#include <stdexcept>

#include "client/handlers.h"
#include "client/helpers.h"
#include "client/service_call.h"
#include "client/state.h"

namespace rest_client {
namespace {

std::string service_distance(const std::string& word) {
    if (word == "InnerProduct" || word == "innerProduct") return "Inner Product";
    if (word == "Cosine" || word == "cosine") return "Cosine";
    if (word == "L2" || word == "l2") return "L2";
    if (word == "Hamming" || word == "hamming") return "Hamming";
    return word;
}

// Large datasets take long to index; asking often would only load the service.
std::chrono::milliseconds attach_wait_interval(int vectors) {
    if (vectors <= 300000) return std::chrono::milliseconds(3000);
    if (vectors <= 1000000) return std::chrono::milliseconds(15000);
    if (vectors <= 10000000) return std::chrono::milliseconds(30000);
    return std::chrono::milliseconds(60000);
}

// The dataset's vector count, 0 when it cannot be learned. Every failure here
// is reported and then left behind: the attach goes ahead regardless.
int lookup_vector_count(const std::string& project, const std::string& dataset) {
    int vectors = 0;
    ServiceCall call;
    call.path = "/fetch_datasets";
    call.build = [&](json& request) { request["project_name"] = project; };
    call.failure_phrase = "Datasets fetch failed! Status: ";
    call.on_success = [&](const net::Response& response) {
        const json answer = parse_json(response.text);
        if (!answer.is_object() || !answer.contains("datasets") ||
            !answer.at("datasets").is_array()) {
            print_error("Server returned incorrect response format");
            return false;
        }
        for (const json& element : answer.at("datasets")) {
            if (!element.is_object())
                throw std::invalid_argument(std::string("dataset entry must be an object, but is ") +
                                            element.type_name());
            // An entry without a name or a shape cannot be the one asked for.
            const auto name = element.find("name");
            const auto shape = element.find("dimension");
            if (name == element.end() || *name != dataset || shape == element.end()) continue;
            // A later entry of the same name replaces the count.
            vectors = extractFirstElement(shape->get<std::string>());
            std::cout << " Number of vectors to be indexed: " << vectors << std::endl;
        }
        return true;
    };
    call.catch_prefix = "Error in handle_fetch_datasets: ";
    run_service_call(call);
    return vectors;
}

const char kCatchPrefix[] = "Error in handle_attach_index: ";

// The attach request; the job's status request once the service took it.
std::optional<json> start_attach(const json& attach, const std::string& index,
                                 const std::string& dataset) {
    std::optional<json> status_request;
    ServiceCall call;
    call.path = "/attach_index";
    call.build = [&](json& request) { request.update(attach); };
    call.failure_phrase = "Attach Index failed! Status: ";
    call.response_separator = std::string("\nResponse:");
    call.on_success = [&](const net::Response& response) {
        const json answer = parse_json(response.text);
        const bool ok = answer.is_object() && answer.contains("success") &&
                        answer.at("success") == true && answer.contains("job_id");
        if (!ok) {
            print_error("Attach Index failed!\n" + response.text);
            return false;
        }
        print_info("Attaching index '" + index + "' to dataset '" + dataset + "'");
        status_request = make_status_request(answer.at("job_id").get<std::string>());
        return true;
    };
    call.catch_prefix = kCatchPrefix;
    if (!run_service_call(call)) return std::nullopt;
    return status_request;
}

bool follow_attach_job(const json& status_request, int vectors) {
    const auto interval = attach_wait_interval(vectors);
    std::cout << "wait_time " << interval.count() << std::endl;
    const JobStatus last =
        poll_job("/get_attach_index_status", status_request, interval, [](JobState state) {
            if (state == JobState::pending)
                print_success("Request in queue");
            else
                print_info("Attaching index...");
        });
    if (last.state == JobState::finished) {
        print_success("Successfully attached index");
        return true;
    }
    if (last.state == JobState::failed)
        print_job_failure("Server failed to attach index", last.answer);
    // The other endings have printed their own lines.
    return false;
}

}  // namespace

bool handle_attach_index(const std::string& project, const std::string& dataset,
                         const std::string& index, const std::string& dist_type,
                         const bool& large_index) {
    try {
        const std::string distance = service_distance(dist_type);
        print_info("Attaching index with collection_name, index_name, and dist_type: " + dataset +
                   " " + index + " " + distance + "...");
        json attach = json::object();
        attach["project_name"] = project;
        attach["collection_name"] = dataset;
        attach["index_name"] = index;
        attach["dist_type"] = distance;
        attach["large_index"] = large_index;

        const int vectors = lookup_vector_count(project, dataset);
        const std::optional<json> status_request = start_attach(attach, index, dataset);
        return status_request && follow_attach_job(*status_request, vectors);
    } catch (const std::exception& e) {
        print_error(kCatchPrefix + std::string(e.what()));
        return false;
    }
}

}  // namespace rest_client
