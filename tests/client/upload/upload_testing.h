// Shared pieces of the upload tests: scratch files, standard input fed from a
// string, a fixture whose rate-limit clock follows the recorded pauses, and a
// plain model of how a file is cut into shards to compare what arrived with.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/rate_limiter.h"
#include "support/client_fixture.h"

namespace upload_testing {

using json = nlohmann::json;
using test_support::green;
using test_support::info;
using test_support::red;

// What parsing the text into a JSON document throws, or "" when it parses.
inline std::string document_error(const std::string& text) {
    try {
        std::istringstream in(text);
        json value;
        in >> value;
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}
using test_support::yellow;

// A directory of scratch files, removed at the end.
class Scratch {
public:
    Scratch() {
        static int counter = 0;
        dir_ = std::filesystem::path(testing::TempDir()) /
               ("tarvo_upload_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
        std::filesystem::create_directories(dir_);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::string write(const std::string& name, const std::string& bytes) const {
        std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

private:
    std::filesystem::path dir_;
};

// Standard input reads from a string while this lives.
class StdinFeed {
public:
    explicit StdinFeed(const std::string& text) : in_(text), old_(std::cin.rdbuf(in_.rdbuf())) {
        std::cin.clear();
    }
    ~StdinFeed() {
        std::cin.rdbuf(old_);
        std::cin.clear();
    }
    // What was not read.
    std::string rest() {
        std::string r;
        std::getline(in_, r, '\0');
        return r;
    }

private:
    std::istringstream in_;
    std::streambuf* old_;
};

struct Outcome {
    bool result = false;
    std::string out;
    std::string err;
};

class UploadTest : public test_support::ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        saved_shard_size_ = SHARD_SIZE;
        // The limiter sees time pass as the upload pauses: real uploads never
        // reach ten shards in three seconds because of those pauses.
        const auto start = std::chrono::steady_clock::now();
        rest_client::seams().clock = ([this, start] {
            std::chrono::milliseconds slept{0};
            for (auto d : sleeps) slept += d;
            return start + slept;
        });
    }
    void TearDown() override {
        SHARD_SIZE = saved_shard_size_;
        ClientTest::TearDown();
    }

    Outcome upload(const std::string& path, rest_client::OptionMap options,
                   const std::string& project = "proj") {
        Outcome o;
        auto captured = test_support::capture(
            [&] { o.result = rest_client::handle_upload(project, path, std::move(options)); });
        o.out = captured.out;
        o.err = captured.err;
        return o;
    }

    std::vector<fake::Request> shards() const { return service->requests("/api/upload"); }
    std::vector<std::string> shard_data() const {
        std::vector<std::string> out;
        for (const auto& r : shards()) out.push_back(r.file_data);
        return out;
    }
    std::vector<json> shard_bodies() const {
        std::vector<json> out;
        for (const auto& r : shards()) out.push_back(json::parse(r.body));
        return out;
    }
    // The keys an /upload request carries besides the per-shard ones.
    json shard_keys(size_t i = 0) const {
        json body = shard_bodies().at(i);
        body.erase("file_data");
        body.erase("checksum");
        body.erase("string_id_txt");
        return body;
    }
    size_t polls() const { return service->requests("/api/get_upload_data_status").size(); }

    int32_t saved_shard_size_ = 0;
};

// ---- the shard model ---------------------------------------------------------------

struct ExpectedShard {
    std::string data;
    std::optional<std::string> ids;
};

struct ShardModel {
    std::string header;               // CSV with field names: first line + "\n"
    bool json_array = false;          // records are serialised elements
    bool always_last = false;         // CSV with field names, JSON
    std::optional<std::vector<std::string>> id_lines;  // lines of the ids file
};

struct ModelResult {
    std::vector<ExpectedShard> shards;
    int empty_id_lines_warned = 0;
    bool ran_out = false;
};

inline ModelResult model_shards(const std::vector<std::string>& records, const ShardModel& m,
                                int32_t shard_size) {
    const uint64_t limit = static_cast<uint64_t>(static_cast<int64_t>(shard_size));
    ModelResult r;
    bool active = m.id_lines.has_value();
    size_t next_line = 0;
    std::deque<std::string> pending;
    std::vector<std::string> current;
    std::string id_buffer;
    auto size = [&] {
        uint64_t s = m.json_array ? 2 : m.header.size();
        for (const auto& rec : current) s += rec.size() + (m.json_array ? 1 : 0);
        return s;
    };
    auto emit = [&] {
        std::string data = m.json_array ? "[" : m.header;
        for (size_t i = 0; i < current.size(); ++i) {
            if (m.json_array && i > 0) data += ",";
            data += current[i];
        }
        if (m.json_array) data += "]";
        r.shards.push_back({data, active ? std::optional<std::string>(id_buffer) : std::nullopt});
        current.clear();
        id_buffer.clear();
    };
    for (const auto& rec : records) {
        current.push_back(rec);
        if (active) {
            while (pending.empty()) {
                if (next_line >= m.id_lines->size()) {
                    active = false;
                    r.ran_out = true;
                    break;
                }
                std::string line = (*m.id_lines)[next_line++];
                if (!line.empty() && line.back() == '\r') line.pop_back();
                std::istringstream words(line);
                std::string w;
                while (words >> w) pending.push_back(w);
                if (pending.empty()) ++r.empty_id_lines_warned;
            }
            if (active) {
                id_buffer += pending.front() + "\n";
                pending.pop_front();
            }
        }
        if (size() + id_buffer.size() >= limit) emit();
    }
    if (m.always_last || !current.empty()) emit();
    return r;
}

// Lines of a text as the upload reads them: each with its newline, a last
// line without one getting one.
inline std::vector<std::string> text_records(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(at, nl - at) + "\n");
        at = nl + 1;
    }
    return out;
}

inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

// Compares what the service received with the model, shard by shard.
inline void expect_shards(const std::vector<fake::Request>& got, const std::vector<ExpectedShard>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].file_data, want[i].data) << "shard " << i;
        json body = json::parse(got[i].body);
        EXPECT_EQ(body.contains("string_id_txt"), want[i].ids.has_value()) << "shard " << i;
        if (want[i].ids) {
            EXPECT_EQ(got[i].string_ids, *want[i].ids) << "shard " << i;
        }
    }
}

// Deterministic bytes for generated files.
inline std::string pseudo_random_bytes(size_t n, uint32_t seed) {
    std::string out(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<char>(x & 0xff);
    }
    return out;
}

// A CSV text of `rows` rows of varying length (deterministic).
inline std::string generated_csv(size_t rows, bool header, const std::string& eol = "\n") {
    std::string out = header ? "id,x,y,label" + eol : "";
    uint32_t x = 12345;
    for (size_t i = 0; i < rows; ++i) {
        x = x * 1103515245u + 12345u;
        out += std::to_string(i) + "," + std::to_string((x >> 8) % 100000) + "." +
               std::to_string(x % 97) + "," + std::to_string((x >> 4) % 1000) + "," +
               std::string(1 + (x >> 20) % 9, char('a' + i % 26)) + eol;
    }
    return out;
}

}  // namespace upload_testing
