// The last stage of an upload: sends each shard to /upload with its checksum,
// follows every shard's subjob, and waits for the last one to finish.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/service_call.h"
#include "client/upload/payload.h"

namespace rest_client::upload {

// The per-shard fields of an upload request.
struct ShardPayload {
    ChunkedText file_data;                     // Base64 of the gzip of the shard
    std::string checksum;                      // SHA-256 of the file_data text
    std::optional<ChunkedText> string_id_txt;  // Base64 of the gzip of the ids
};

class ShardSender {
public:
    // `request` holds the keys every shard's request starts from; it must
    // outlive the sender.
    ShardSender(const nlohmann::json& request, std::string file_path);

    // Sends one shard and makes one poll pass over the unfinished subjobs.
    // Throws when the shard is refused or a subjob fails.
    void send(const ShardPayload& payload);

    // Polls until the last shard's subjob has finished; the handler's result.
    bool wait_for_all();

private:
    // finished, pending or in_progress; anything else has printed its line.
    JobState poll(size_t shard);
    void poll_pass();
    size_t finished_count() const;

    const nlohmann::json& request_;
    std::string file_path_;
    std::vector<nlohmann::json> status_requests_;
    std::vector<bool> finished_;
};

}  // namespace rest_client::upload
