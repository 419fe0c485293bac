#include "client/upload/sender.h"

#include <chrono>
#include <iostream>
#include <stdexcept>

#include "client/state.h"

namespace rest_client::upload {

namespace {

using json = nlohmann::json;
using std::chrono::milliseconds;

const char kStatusPath[] = "/get_upload_data_status";
const char kFailed[] = "Server failed to upload";
constexpr milliseconds kShardPause{400};
constexpr milliseconds kWaitCycle{1000};

bool still_running(JobState state) {
    return state == JobState::pending || state == JobState::in_progress;
}

}  // namespace

ShardSender::ShardSender(const json& request, std::string file_path)
    : request_(request), file_path_(std::move(file_path)) {}

void ShardSender::send(const ShardPayload& payload) {
    ServiceCall call;
    call.path = "/upload";
    call.build = [&](json& request) {
        request = request_;
        request["checksum"] = payload.checksum;
    };
    call.after_gate = [&] {
        print_info("Uploading ...'" + file_path_ + "' to dataset '" +
                   request_.at("dataset_name").get<std::string>() + "'");
        print_info("file data field checksum: " + payload.checksum);
    };
    call.outside = {{"file_data", payload.file_data.parts()}};
    if (payload.string_id_txt) call.outside.emplace("string_id_txt", payload.string_id_txt->parts());
    call.failure_phrase = "Upload failed! Status: ";
    call.on_success = [&](const net::Response& response) {
        sleep_for(kShardPause);
        print_info("Uploading... [" + std::to_string(status_requests_.size() + 1) + "]");
        const json answer = parse_json(response.text);
        const std::string server_checksum = answer.at("checksum_server").get<std::string>();
        write_line(std::cout, Colour::none, "Server returns matching checksum: " + server_checksum);
        status_requests_.push_back(make_status_request(answer.at("job_id").get<std::string>()));
        finished_.push_back(false);
        return true;
    };
    // No catch here: the upload's own catch reports every exception.
    if (!run_service_call(call)) throw std::runtime_error(kFailed);

    poll_pass();
    print_success("Uploaded [" + std::to_string(finished_count()) + "] data shards");
}

void ShardSender::poll_pass() {
    for (size_t i = 0; i < finished_.size(); ++i) {
        if (finished_[i]) continue;
        const JobState state = poll(i);
        sleep_for(kShardPause);
        if (still_running(state)) return;
        if (state != JobState::finished) throw std::runtime_error(kFailed);
        finished_[i] = true;
    }
}

bool ShardSender::wait_for_all() {
    while (!finished_.empty() && !finished_.back()) {
        const size_t n = finished_.size();
        size_t count = 0;
        for (size_t i = 0; i < n; ++i) {
            if (!finished_[i]) {
                const JobState state = poll(i);
                if (still_running(state)) break;
                if (state != JobState::finished) return false;
                sleep_for(kShardPause);
                finished_[i] = true;
            }
            count = i + 1;
        }
        print_success("Uploaded [" + std::to_string(count) + "/" + std::to_string(n) + "]");
        sleep_for(kWaitCycle);
    }
    print_success("Successfully uploaded file to dataset");
    return true;
}

JobState ShardSender::poll(size_t shard) {
    JobStatus status = poll_job_once(kStatusPath, status_requests_[shard]);
    switch (status.state) {
        case JobState::pending:
            print_info("Subjob [" + std::to_string(shard) + "] is pending");
            break;
        case JobState::in_progress:
            print_info("Subjob [" + std::to_string(shard) + "] is in progress");
            break;
        case JobState::finished:
            print_success("Subjob [" + std::to_string(shard + 1) + "] Finished. Returned with message: " +
                          status.answer.at("error_message").get<std::string>());
            break;
        case JobState::failed:
            print_job_failure(kFailed, status.answer);
            break;
        default:  // the poll has printed its line
            break;
    }
    return status.state;
}

size_t ShardSender::finished_count() const {
    size_t n = 0;
    while (n < finished_.size() && finished_[n]) ++n;
    return n;
}

}  // namespace rest_client::upload
