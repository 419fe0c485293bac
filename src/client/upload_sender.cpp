#include "client/upload_sender.h"

#include <chrono>
#include <iostream>
#include <map>
#include <stdexcept>

#include "client/rest_client.h"
#include "client/service_call.h"
#include "client/upload_payload.h"

namespace rest_client::upload {

namespace {

using json = nlohmann::json;
using std::chrono::milliseconds;

const char kStatusPath[] = "/get_upload_data_status";
const char kFailed[] = "Server failed to upload";
constexpr milliseconds kShardPause{400};
constexpr milliseconds kWaitCycle{1000};

}  // namespace

ShardSender::ShardSender(const json& request, std::string file_path)
    : request_(request), file_path_(std::move(file_path)) {}

void ShardSender::send(const ShardPayload& payload) {
    check_rate_limit();
    print_info("Uploading ...'" + file_path_ + "' to dataset '" +
               request_.at("dataset_name").get<std::string>() + "'");
    print_info("file data field checksum: " + payload.checksum);

    json request = request_;
    request["checksum"] = payload.checksum;
    RequestBody::Outside outside{{"file_data", payload.file_data.parts()}};
    if (payload.string_id_txt) outside.emplace("string_id_txt", payload.string_id_txt->parts());
    net::Response response;
    {
        RequestBody body(request, outside);
        response = post_json("/upload", body.parts());
    }
    if (response.status != 200) {
        print_error("Upload failed! Status: " + std::to_string(response.status) + "\nResponse: " +
                    response.text);
        throw std::runtime_error(kFailed);
    }
    sleep_for(kShardPause);
    print_info("Uploading... [" + std::to_string(status_requests_.size() + 1) + "]");

    json answer = parse_json(response.text);
    const std::string server_checksum = answer.at("checksum_server").get<std::string>();
    std::cout << "Server returns matching checksum: " << server_checksum << std::endl;
    status_requests_.push_back(make_status_request(answer.at("job_id").get<std::string>()));
    finished_.push_back(false);

    poll_pass();
    print_success("Uploaded [" + std::to_string(finished_count()) + "] data shards");
}

void ShardSender::poll_pass() {
    for (size_t i = 0; i < finished_.size(); ++i) {
        if (finished_[i]) continue;
        int result = poll(i);
        sleep_for(kShardPause);
        if (result < 0) throw std::runtime_error(kFailed);
        if (result == 0) return;
        finished_[i] = true;
    }
}

bool ShardSender::wait_for_all() {
    while (!finished_.empty() && !finished_.back()) {
        const size_t n = finished_.size();
        size_t count = 0;
        for (size_t i = 0; i < n; ++i) {
            if (finished_[i]) {
                count = i + 1;
                continue;
            }
            int result = poll(i);
            if (result < 0) return false;
            if (result == 0) break;
            sleep_for(kShardPause);
            finished_[i] = true;
            count = i + 1;
        }
        print_success("Uploaded [" + std::to_string(count) + "/" + std::to_string(n) + "]");
        sleep_for(kWaitCycle);
    }
    print_success("Successfully uploaded file to dataset");
    return true;
}

int ShardSender::poll(size_t shard) {
    JobStatus status = poll_job_once(kStatusPath, status_requests_[shard]);
    switch (status.state) {
        case JobState::pending:
            print_info("Subjob [" + std::to_string(shard) + "] is pending");
            return 0;
        case JobState::in_progress:
            print_info("Subjob [" + std::to_string(shard) + "] is in progress");
            return 0;
        case JobState::finished:
            print_success("Subjob [" + std::to_string(shard + 1) + "] Finished. Returned with message: " +
                          status.answer.at("error_message").get<std::string>());
            return 1;
        case JobState::failed:
            print_job_failure(kFailed, status.answer);
            return -1;
        default:  // the poll has printed its line
            return -1;
    }
}

size_t ShardSender::finished_count() const {
    size_t n = 0;
    while (n < finished_.size() && finished_[n]) ++n;
    return n;
}

}  // namespace rest_client::upload
