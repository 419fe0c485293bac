// libFuzzer target over the upload readers: each input becomes a data file
// (and maybe a string ids file) that handle_upload sends, in process, to the
// fake service on 127.0.0.1.
//
// Input: byte 0 picks the format (modulo 6: CSV with field names, CSV
// without, JSON, libsvm, binary uint8, binary float32) and, in bit 0 of
// byte 0 / 6, whether an ids file is named; bytes 1-2 give SHARD_SIZE
// (1..4096); byte 3 the binary dimension (1..8). The rest, split on the byte
// 0x1E, is the data file, the ids file and the lines on standard input (by
// default "n\nn\n", the answers to a CSV file's questions).
//
// Beyond "no crash, no hang" each input checks that the service saw nothing
// a strict one would refuse (Base64, gzip, checksum) and that the decoded
// shards, and the ids sent with them, are exactly the input's records cut the
// way the reader cuts them: CSV and libsvm lines (each given a newline, a
// CSV header repeated in every shard), whole binary records (a short last
// one dropped), the compact texts of the JSON array's elements.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/rate_limiter.h"
#include "client/handlers.h"
#include "client/helpers.h"
#include "client/rate_limiter.h"
#include "client/seams.h"
#include "client/state.h"
#include "client/service_call.h"
#include "fake/fake_service.h"

namespace {

using json = nlohmann::json;
constexpr char kSeparator = '\x1e';
// Inputs whose cut would make more shards than this get a larger SHARD_SIZE,
// so every input runs in milliseconds.
constexpr size_t kMaxShards = 48;

enum Format { kCsvNamed, kCsvPlain, kJson, kLibsvm, kBinaryU8, kBinaryF32, kFormats };

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "upload_fuzzer: %s\n", what);
    std::abort();
}

// ---- the model of the shards, written apart from the reader -----------------------

struct ExpectedShard {
    std::string data;
    std::optional<std::string> ids;
};

struct Cut {
    std::string header;  // repeated at the start of every shard
    bool json_array = false;
    bool always_last = false;
    std::optional<std::vector<std::string>> id_lines;
};

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return out;
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::vector<ExpectedShard> model(const std::vector<std::string>& records, const Cut& cut,
                                 uint64_t limit) {
    std::vector<ExpectedShard> shards;
    bool active = cut.id_lines.has_value();
    size_t next_line = 0;
    std::deque<std::string> pending;
    std::vector<std::string> current;
    std::string ids;
    auto size = [&] {
        uint64_t s = cut.json_array ? 2 : cut.header.size();
        for (const auto& r : current) s += r.size() + (cut.json_array ? 1 : 0);
        return s + ids.size();
    };
    auto emit = [&] {
        std::string data = cut.json_array ? "[" : cut.header;
        for (size_t i = 0; i < current.size(); ++i) {
            if (cut.json_array && i > 0) data += ",";
            data += current[i];
        }
        if (cut.json_array) data += "]";
        shards.push_back({data, active ? std::optional<std::string>(ids) : std::nullopt});
        current.clear();
        ids.clear();
    };
    for (const auto& r : records) {
        current.push_back(r);
        while (active && pending.empty()) {
            if (next_line >= cut.id_lines->size()) {
                active = false;
                break;
            }
            std::string line = (*cut.id_lines)[next_line++];
            if (!line.empty() && line.back() == '\r') line.pop_back();
            size_t i = 0;
            while (i < line.size()) {
                while (i < line.size() && is_space(line[i])) ++i;
                const size_t start = i;
                while (i < line.size() && !is_space(line[i])) ++i;
                if (i > start) pending.push_back(line.substr(start, i - start));
            }
        }
        if (active) {
            ids += pending.front() + "\n";
            pending.pop_front();
        }
        if (size() >= limit) emit();
    }
    if (cut.always_last || !current.empty()) emit();
    return shards;
}

// ---- the harness --------------------------------------------------------------------

std::unique_ptr<fake::FakeService> service;
std::filesystem::path dir;
std::chrono::steady_clock::time_point fake_now;

struct StdinFeed {
    explicit StdinFeed(const std::string& text) : in(text), old(std::cin.rdbuf(in.rdbuf())) {
        std::cin.clear();
    }
    ~StdinFeed() {
        std::cin.rdbuf(old);
        std::cin.clear();
    }
    std::istringstream in;
    std::streambuf* old;
};

void write_file(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    check(static_cast<bool>(out), "cannot write a scratch file");
}

void remove_dir() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    service = std::make_unique<fake::FakeService>();
    server_base_url = service->api_url();
    rest_client::user_api_key = fake::FakeService::kValidKey;
    rest_client::seams().sleep = ([](std::chrono::milliseconds) {});
    // Every operation happens a second after the one before, so the limiter
    // never stops an upload however many shards it sends.
    rest_client::seams().clock = ([] { return fake_now += std::chrono::seconds(1); });
    std::string pattern = (std::filesystem::temp_directory_path() / "upload_fuzzer_XXXXXX").string();
    check(mkdtemp(pattern.data()) != nullptr, "cannot make a scratch directory");
    dir = pattern;
    std::atexit(remove_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 4) return 0;
    const Format format = static_cast<Format>(bytes[0] % kFormats);
    const bool with_ids = (bytes[0] / kFormats) & 1;
    uint64_t limit = 1 + ((size_t{bytes[1]} << 8) | bytes[2]) % 4096;
    const uint64_t dim = 1 + bytes[3] % 8;

    std::vector<std::string> parts(1);
    for (size_t i = 4; i < size; ++i) {
        if (bytes[i] == kSeparator && parts.size() < 3)
            parts.emplace_back();
        else
            parts.back().push_back(static_cast<char>(bytes[i]));
    }
    const std::string& data = parts[0];
    const std::string ids_text = parts.size() > 1 ? parts[1] : "";
    const bool fuzzed_stdin = parts.size() > 2;
    const std::string stdin_text = fuzzed_stdin ? parts[2] : "n\nn\n";

    const std::filesystem::path data_path = dir / "data";
    const std::filesystem::path ids_path = dir / "ids";
    write_file(data_path, data);
    write_file(ids_path, ids_text);

    rest_client::OptionMap options{{"collection_name", "d"}};
    Cut cut;
    std::vector<std::string> records;
    bool valid = true;  // the file is one the reader takes
    switch (format) {
        case kCsvNamed:
        case kCsvPlain:
        case kLibsvm: {
            std::vector<std::string> lines = lines_of(data);
            if (format == kCsvNamed) {
                options["file_format"] = "csv";
                options["vector_type"] = "dense";
                cut.header = (lines.empty() ? "" : lines.front()) + "\n";
                cut.always_last = true;
                if (!lines.empty()) lines.erase(lines.begin());
            } else if (format == kCsvPlain) {
                options["file_format"] = "csv";
                options["has_field_names"] = "false";
                options["vector_type"] = "dense";
            } else {
                options["file_format"] = "libsvm";
            }
            for (auto& line : lines) records.push_back(line + "\n");
            break;
        }
        case kJson: {
            options["file_format"] = "json";
            options["vector_type"] = "dense";
            options["vector_data_field_name"] = "v";
            cut.json_array = true;
            cut.always_last = true;
            // The reader takes the first value of the file and ignores the rest.
            std::istringstream in(data);
            json value;
            try {
                in >> value;
                valid = value.is_array();
            } catch (const json::exception&) {
                valid = false;
            }
            if (valid)
                for (const auto& element : value) records.push_back(element.dump());
            break;
        }
        case kBinaryU8:
        case kBinaryF32: {
            options["file_format"] = "binary";
            options["binary_dtype"] = format == kBinaryU8 ? "uint8" : "float32";
            options["binary_dim"] = std::to_string(dim);
            const size_t record = dim * (format == kBinaryU8 ? 1 : 4);
            for (size_t at = 0; at + record <= data.size(); at += record)
                records.push_back(data.substr(at, record));
            break;
        }
        default:
            return 0;
    }
    if (with_ids) {
        options["string_ids_file_path"] = ids_path.string();
        std::vector<std::string> id_lines;
        std::istringstream in(ids_text);
        for (std::string line; std::getline(in, line);) id_lines.push_back(line);
        cut.id_lines = std::move(id_lines);
    }

    std::vector<ExpectedShard> expected;
    if (valid) {
        expected = model(records, cut, limit);
        while (expected.size() > kMaxShards) {
            limit *= 2;
            expected = model(records, cut, limit);
        }
    }

    SHARD_SIZE = static_cast<int32_t>(limit);
    service->clear_log();
    rest_client::record.timestamps.clear();
    bool result;
    {
        StdinFeed feed(stdin_text);
        result = rest_client::handle_upload("p", data_path.string(), options);
    }

    const auto problems = service->problems();
    if (!problems.empty()) {
        for (const auto& p : problems) std::fprintf(stderr, "fake service: %s\n", p.c_str());
        check(false, "a request a strict service would refuse");
    }
    const auto shards = service->requests("/api/upload");
    if (!valid) {
        check(!result, "an upload of a file that is not a JSON array succeeded");
        check(shards.empty(), "a file that is not a JSON array sent shards");
        return 0;
    }
    // Only questions left unanswered may stop an upload of a valid file, and
    // then before it sends anything.
    if (!result && format == kCsvPlain && fuzzed_stdin && shards.empty()) return 0;
    check(result, "an upload of a valid file failed");
    check(shards.size() == expected.size(), "the number of shards differs from the model");
    for (size_t i = 0; i < shards.size(); ++i) {
        if (shards[i].file_data != expected[i].data) {
            std::fprintf(stderr, "shard %zu: sent %zu bytes, expected %zu\n", i,
                         shards[i].file_data.size(), expected[i].data.size());
            check(false, "a shard is not the input's records");
        }
        const json body = json::parse(shards[i].body);
        check(body.contains("string_id_txt") == expected[i].ids.has_value(),
              "string ids sent where none were due, or missing");
        if (expected[i].ids) check(shards[i].string_ids == *expected[i].ids, "wrong string ids sent");
    }
    return 0;
}
