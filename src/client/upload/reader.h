// The middle stage of an upload: reads the data file record by record, pairs
// records with string ids, cuts the records into shards of about the plan's
// shard size and hands each shard to the sender.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "client/helpers.h"
#include "client/upload/arguments.h"
#include "client/upload/payload.h"
#include "client/upload/sender.h"

namespace rest_client::upload {

// Reads the whole data file of the plan and sends it shard by shard.
void read_and_send(const UploadPlan& plan, ShardSender& sender);

// Ids from the string ids file: several per line, blank lines warned about.
class StringIds {
public:
    explicit StringIds(const std::string& path);  // throws "Failed to open " + path
    // False (after a warning) once the file has run out.
    bool next(std::string& id);

private:
    InputFile file_;
    std::deque<std::string> pending_;
};

// How the records of one format make up a shard.
struct ShardLayout {
    uint64_t shard_size = 0;         // a shard is sent once it holds this many bytes
    std::string header;              // bytes every shard starts with
    bool json_array = false;         // records are the elements of a JSON array
    bool always_send_last = false;   // the last shard goes even without records
    uint64_t record_size = 0;        // fixed-size records: report their count
    bool pause_after_send = false;   // read a line of standard input after in-loop sends
};

class ShardBuilder {
public:
    // `ids` may be null (no string ids).
    ShardBuilder(ShardLayout layout, ShardSender& sender, std::unique_ptr<StringIds> ids);
    // One record; `tail` is appended to it (a text line's newline).
    void add(std::string_view record, std::string_view tail = {});
    // The last send, when the format makes one.
    void finish();

private:
    void start_shard();
    void send(bool in_loop);

    ShardLayout layout_;
    ShardSender& sender_;
    std::unique_ptr<StringIds> ids_;
    bool ids_active_;
    EncodedField data_{true};
    EncodedField id_field_{false};
    uint64_t size_ = 0;     // bytes of the shard, or the JSON size estimate
    uint64_t records_ = 0;
};

}  // namespace rest_client::upload
