#include "client/upload/reader.h"

#include <cctype>
#include <climits>
#include <iostream>
#include <iterator>
#include <streambuf>
#include <stdexcept>

#include "client/state.h"
#include "client/upload/json_reader.h"

namespace rest_client::upload {

namespace {

using json = nlohmann::json;

// Fixed-size records are read this many bytes at a time (whole records).
constexpr size_t kReadBlock = 1 << 20;

std::unique_ptr<StringIds> open_ids(const UploadPlan& plan) {
    if (!plan.string_ids_path) return nullptr;
    return std::make_unique<StringIds>(*plan.string_ids_path);
}

// The layout every format starts from: the plan's shard size, a negative one
// (taken as unsigned) never reached.
ShardLayout base_layout(const UploadPlan& plan) {
    ShardLayout layout;
    layout.shard_size = static_cast<uint64_t>(static_cast<int64_t>(plan.shard_size));
    return layout;
}

void read_text(const UploadPlan& plan, ShardSender& sender) {
    InputFile& in = *plan.data;
    std::unique_ptr<StringIds> ids = open_ids(plan);
    ShardLayout layout = base_layout(plan);
    if (plan.file_format == "csv" && plan.has_field_names) {
        std::string first;
        in.getline(first);  // an empty file gives an empty header line
        layout.header = first + "\n";
        layout.always_send_last = true;
    }
    ShardBuilder builder(std::move(layout), sender, std::move(ids));
    if (plan.first_line) builder.add(*plan.first_line, "\n");
    std::string line;
    while (in.getline(line)) builder.add(line, "\n");
    builder.finish();
}

// The whole of a file that cannot be read twice (a pipe), held once in
// memory (a string stream would copy it) and read again from any position.
class KeptFile : public std::streambuf {
public:
    explicit KeptFile(std::string text) : text_(std::move(text)) { seekpos(0, std::ios::in); }

protected:
    pos_type seekpos(pos_type pos, std::ios::openmode) override {
        if (pos < 0 || static_cast<size_t>(pos) > text_.size()) return pos_type(off_type(-1));
        setg(text_.data(), text_.data() + static_cast<size_t>(pos), text_.data() + text_.size());
        return pos;
    }

private:
    std::string text_;
};

std::string read_all(InputFile& file) {
    std::string all, block;
    while (file.read(block, kReadBlock) > 0) all += block;
    return all;
}

// Two passes: the first checks the whole value, so a malformed file sends
// nothing; the second shards the elements as it reads them. A file that
// cannot be read twice (a pipe) is kept in memory.
void read_json(const UploadPlan& plan, ShardSender& sender) {
    InputFile& file = *plan.data;
    std::unique_ptr<KeptFile> kept;
    std::istream kept_stream(nullptr);
    if (!file.regular()) {
        kept = std::make_unique<KeptFile>(read_all(file));
        kept_stream.rdbuf(kept.get());
    }
    std::istream& in = file.regular() ? file.stream() : kept_stream;
    const bool is_array = check_json_value(in, plan.file_path);
    std::unique_ptr<StringIds> ids = open_ids(plan);
    if (!is_array) throw std::runtime_error("Given json file is not an array");

    in.clear();
    in.seekg(0);
    ShardLayout layout = base_layout(plan);
    layout.json_array = true;
    layout.always_send_last = true;
    layout.pause_after_send = true;
    ShardBuilder builder(std::move(layout), sender, std::move(ids));
    CompactElements elements(in, plan.file_path);
    std::string_view compact;
    while (elements.next(compact)) builder.add(compact);
    builder.finish();
}

void read_binary(const UploadPlan& plan, ShardSender& sender) {
    InputFile& in = *plan.data;
    std::unique_ptr<StringIds> ids = open_ids(plan);
    if (plan.shard_size < 0)
        throw std::runtime_error("Cannot size the shard buffer: SHARD_SIZE is " +
                                 std::to_string(plan.shard_size));
    const json& request = plan.request;
    const int64_t element = request.at("binary_dtype").get<std::string>() == "float32" ? 4 : 1;
    const int64_t record = element * request.at("binary_dim").get<int64_t>();
    if (record == 0) throw std::runtime_error("Invalid argument for binary dim");
    if (record < 0 || record > INT32_MAX)
        throw std::runtime_error("Cannot size the record buffer: record size " +
                                 std::to_string(record) + " bytes");
    const size_t size = static_cast<size_t>(record);

    ShardLayout layout = base_layout(plan);
    layout.record_size = size;
    ShardBuilder builder(std::move(layout), sender, std::move(ids));
    const size_t per_block = std::max<size_t>(1, kReadBlock / size);
    std::string block;
    for (;;) {
        const size_t want = per_block * size;
        const size_t got = in.read(block, want);
        // An incomplete last record is dropped.
        for (size_t at = 0; at + size <= got; at += size)
            builder.add(std::string_view(block.data() + at, size));
        if (got < want) break;
    }
    builder.finish();
}

}  // namespace

void read_and_send(const UploadPlan& plan, ShardSender& sender) {
    if (plan.file_format == "json")
        read_json(plan, sender);
    else if (plan.file_format == "binary")
        read_binary(plan, sender);
    else
        read_text(plan, sender);
}

// ---- string ids ---------------------------------------------------------------------

StringIds::StringIds(const std::string& path) : file_(path, "Failed to open ") {}

bool StringIds::next(std::string& id) {
    while (pending_.empty()) {
        std::string line;
        if (!file_.getline(line)) {
            print_warning("libsvm and string ids file have different number of lines, using default string_ids");
            return false;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
            size_t start = i;
            while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) ++i;
            if (i > start) pending_.emplace_back(line, start, i - start);
        }
        if (pending_.empty()) print_warning("Warning: empty string id line found.");
    }
    id = std::move(pending_.front());
    pending_.pop_front();
    return true;
}

// ---- shards -----------------------------------------------------------------------------

ShardBuilder::ShardBuilder(ShardLayout layout, ShardSender& sender, std::unique_ptr<StringIds> ids)
    : layout_(std::move(layout)),
      sender_(sender),
      ids_(std::move(ids)),
      ids_active_(ids_ != nullptr) {
    start_shard();
}

void ShardBuilder::start_shard() {
    records_ = 0;
    if (layout_.json_array) {
        data_.append("[");
        size_ = 2;  // both brackets
    } else {
        data_.append(layout_.header);
        size_ = layout_.header.size();
    }
}

void ShardBuilder::add(std::string_view record, std::string_view tail) {
    if (layout_.json_array) {
        if (records_ > 0) data_.append(",");
        data_.append(record);
        size_ += record.size() + 1;  // one separator counted per element
    } else {
        data_.append(record);
        data_.append(tail);
        size_ += record.size() + tail.size();
    }
    ++records_;
    if (ids_active_) {
        std::string id;
        if (ids_->next(id)) {
            id_field_.append(id);
            id_field_.append("\n");
        } else {
            ids_active_ = false;
            ids_.reset();
        }
    }
    if (size_ + id_field_.raw_size() >= layout_.shard_size) send(true);
}

void ShardBuilder::finish() {
    if (layout_.always_send_last || records_ > 0) send(false);
}

void ShardBuilder::send(bool in_loop) {
    if (layout_.json_array) data_.append("]");
    EncodedField::Encoded data = data_.finish();
    ShardPayload payload;
    payload.file_data = std::move(data.text);
    payload.checksum = std::move(data.checksum);
    if (layout_.record_size) std::cerr << "Number of vectors " << records_ << '\n';
    start_shard();
    // Ids gathered before the ids file ran out go nowhere: that shard is sent
    // without string_id_txt.
    if (ids_active_)
        payload.string_id_txt = id_field_.finish().text;
    else
        id_field_.discard();
    sender_.send(payload);
    if (in_loop && layout_.pause_after_send) read_stdin_line();
}

}  // namespace rest_client::upload
