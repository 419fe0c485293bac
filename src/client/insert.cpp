// Inserting one vector or a batch, dense or sparse.
#include <functional>
#include <iostream>

#include "client/handlers.h"
#include "client/helpers.h"
#include "client/service_call.h"
#include "client/state.h"
#include "client/vector_values.h"

namespace rest_client {

namespace {

constexpr const char* kStatusPath = "/get_upload_data_status";
constexpr std::chrono::milliseconds kBatchPollInterval{3000};

// Moves the --vector_attributes text, parsed, into the request.
void add_attributes(json& request, OptionMap& options) {
    auto it = options.find("vector_attributes");
    if (it == options.end()) return;
    request["attributes"] = parse_json(it->second);
    options.erase(it);
}

void add_target(json& request, const std::string& project, const std::string& dataset) {
    request["project_name"] = project;
    request["collection_name"] = dataset;
}

bool insert_one(const std::string& project, const std::string& dataset,
                const std::string& string_id, const std::function<json()>& convert,
                OptionMap options) {
    ServiceCall call;
    call.announcement = "Inserting vector to dataset " + dataset + "...";
    call.path = "/add_data";
    call.build = [&](json& request) {
        json data = convert();
        add_target(request, project, dataset);
        request["string_id"] = string_id;
        request["data"] = std::move(data);
        add_attributes(request, options);
    };
    call.failure_phrase = "Insert failed! Status: ";
    call.response_separator = std::string("\nReponse: ");  // the service's users know this spelling; keep it
    call.on_success = [](const net::Response& response) {
        const json answer = parse_json(response.text);
        const std::string code = answer.value("error_code", "UNKNOWN");
        if (code == "Success") {
            print_success("Successfully inserted vector");
            return true;
        }
        print_error("Insert failed! Error Code: " + code);
        return false;
    };
    call.catch_prefix = "Error in handle_insert: ";
    return run_service_call(call);
}

// Both batch forms: one call to /add_data_batch; a failure while reading its
// answer (or a later status answer) shows that answer as it came.
bool run_batch_call(const std::string& project, const std::string& dataset,
                    std::function<void(json&)> build,
                    std::function<bool(const net::Response&)> read_answer) {
    ServiceCall call;
    call.announcement =
        "Batch insertion with project_name and collection_name: " + project + " " + dataset + "...";
    call.path = "/add_data_batch";
    call.build = std::move(build);
    call.failure_phrase = "Insertions failed! Status: ";
    call.on_success = [&read_answer](const net::Response& response) {
        try {
            return read_answer(response);
        } catch (const std::exception& e) {
            print_error(std::string("Failed to parse server response: ") + e.what());
            print_error("Raw response: " + response.text);
            return false;
        }
    };
    call.catch_prefix = "Error in handle_insert_batch: ";
    return run_service_call(call);
}

// Follows an accepted dense batch job to its end.
bool follow_batch_job(const std::string& job_id) {
    const JobStatus last = poll_job(kStatusPath, make_status_request(job_id), kBatchPollInterval,
                                    [](JobState state) {
                                        print_info(state == JobState::pending
                                                       ? "Upload is pending"
                                                       : "Upload is in progress");
                                    });
    switch (last.state) {
        case JobState::finished:
            print_success("Upload Finished.");
            print_success(last.answer.at("error_message").get<std::string>());
            return true;
        case JobState::failed:
            print_job_failure("Server failed to upload", last.answer);
            return false;
        default:
            // Error status, unusable answer or unknown status: already reported,
            // and the batch cannot be taken as stored.
            return false;
    }
}

// The status code of one sparse result, fraction dropped; only 200 matters.
bool result_status_is_200(const json& result) {
    auto it = result.find("status");
    if (it == result.end()) return false;
    if (it->is_number_float()) {
        const double status = it->get<double>();
        return status >= 200.0 && status < 201.0;
    }
    if (it->is_boolean()) return false;
    return it->get<int64_t>() == 200;  // other types throw a type error
}

std::string result_error_code(const std::string& body) {
    try {
        return parse_json(body).value("error_code", "UNKNOWN");
    } catch (...) {
        return "Invalid response format";
    }
}

bool report_sparse_results(const net::Response& response) {
    const json answer = parse_json(response.text);
    int32_t inserted = 0;
    std::vector<std::string> failures;
    for (const json& result : answer) {
        // value() refuses anything but an object with a type error.
        const std::string string_id = result.value("string_id", "UNKNOWN_ID");
        const bool status_ok = result_status_is_200(result);
        const std::string code = result_error_code(result.value("body", std::string()));
        if (status_ok && code == "Success")
            ++inserted;
        else
            failures.push_back(" - string_id: \"" + string_id + "\", error: \"" + code + "\"");
    }
    print_success("Inserted " + std::to_string(inserted) + " vectors successfully.");
    if (!failures.empty()) {
        print_border();
        print_error(std::to_string(failures.size()) + " Failed insertions:\n");
        for (const auto& line : failures) write_line(std::cout, Colour::none, line);
        print_border();
    }
    return true;
}

}  // namespace

bool handle_insert_vector(const std::string& project, const std::string& dataset,
                          const std::string& string_id, std::vector<std::string> values,
                          OptionMap options) {
    return insert_one(project, dataset, string_id, [&] { return dense_vector(values); },
                      std::move(options));
}

bool handle_insert_vector(const std::string& project, const std::string& dataset,
                          const std::string& string_id, const std::string& sparse_text,
                          OptionMap options) {
    return insert_one(project, dataset, string_id, [&] { return sparse_vector(sparse_text); },
                      std::move(options));
}

bool handle_insert_vector_batch(const std::string& project, const std::string& dataset,
                                std::vector<std::string> string_ids,
                                std::vector<std::vector<std::string>> rows,
                                OptionMap options) {
    return run_batch_call(
        project, dataset,
        [&](json& request) {
            json data = json::array();
            for (const auto& row : rows) data.push_back(dense_vector(row));
            add_target(request, project, dataset);
            request["string_ids"] = string_ids;
            // The same serialisation writes the body, so these are exactly the
            // bytes that follow "data": in what the service receives.
            const std::string checksum = calculate_sha256(serialize(data));
            request["data"] = std::move(data);
            add_attributes(request, options);
            print_info("data field checksum: " + checksum);
            request["checksum"] = checksum;
        },
        [](const net::Response& response) {
            const json answer = parse_json(response.text);
            // Read before writing, so a bad answer leaves no half line.
            const std::string server_checksum = answer.at("checksum_server").get<std::string>();
            write_line(std::cout, Colour::none, "Server returns matching checksum: " + server_checksum);
            return follow_batch_job(answer.at("job_id").get<std::string>());
        });
}

bool handle_insert_vector_batch(const std::string& project, const std::string& dataset,
                                std::vector<std::string> string_ids,
                                const std::vector<std::string>& sparse_texts,
                                OptionMap options) {
    return run_batch_call(
        project, dataset,
        [&](json& request) {
            json data = json::array();
            for (const auto& text : sparse_texts) data.push_back(sparse_vector(text));
            add_target(request, project, dataset);
            request["string_id"] = string_ids;
            request["data"] = std::move(data);
            add_attributes(request, options);
        },
        report_sparse_results);
}

}  // namespace rest_client
