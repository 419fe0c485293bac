// Whole commands through the real binary against the fake service: what the
// user types, what the service receives, and what the user sees.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

#include "fake/fake_service.h"
#include "support/process.h"

namespace {

using json = nlohmann::json;
using test_support::RunOptions;
using test_support::RunResult;

class EndToEnd : public ::testing::Test {
protected:
    RunResult one_shot(const std::string& line, std::string input = "") {
        RunOptions o;
        o.args = {line};
        o.input = std::move(input);
        return test_support::run_tarvo(service, o);
    }
    json only_body(const std::string& path) {
        auto sent = service.requests(path);
        EXPECT_EQ(sent.size(), 1u) << path;
        return sent.empty() ? json() : json::parse(sent.back().body);
    }
    void TearDown() override {
        for (const auto& p : service.problems()) ADD_FAILURE() << p;
    }
    fake::FakeService service;
};

}  // namespace

TEST_F(EndToEnd, SearchOptionsInAnyOrderAndBothDashForms) {
    service.set("/api/search", fake::Reply{200, R"({"results":[{"idx":3,"distance":-0.25}]})"});
    RunResult r = one_shot(
        "search p d i vector -filter_type equality --query_vector [1.5, 2,] --top_k=5 "
        "-FILTER_ATTRIBUTE color --target_values [red, blue]");
    EXPECT_EQ(r.exit_code, 0);
    json body = only_body("/api/search");
    EXPECT_EQ(body["query_vector"], json::parse("[1.5,2.0]"));
    EXPECT_EQ(body["top_k"], 5);
    EXPECT_EQ(body["query_type"], "vector");
    EXPECT_EQ(body["filter"], json::parse(R"({"attribute":"color","target_values":["red","blue"],"type":"equality"})"));
    EXPECT_NE(r.out.find("Distance/Similarity: 0.25"), std::string::npos) << r.out;

    // A repeated option is refused before anything is sent.
    service.clear_log();
    r = one_shot("SEARCH p d i row --row_number 1 -row_number 2");
    EXPECT_NE(r.out.find("Repeated argument row_number"), std::string::npos) << r.out;
    EXPECT_TRUE(service.requests("/api/search").empty());
}

TEST_F(EndToEnd, DenseBatchIsChecksummedAndFollowed) {
    service.push("/api/get_upload_data_status",
                 fake::Reply{200, R"({"error_message":"2 rows","status":"finished","success":true})"});
    RunOptions o;
    o.args = {"INSERT_VECTOR_BATCH p d [a, b] [[0.1], [2]]"};
    RunResult r = test_support::run_tarvo(service, o);
    EXPECT_EQ(r.exit_code, 0);
    json body = only_body("/api/add_data_batch");
    EXPECT_EQ(body["data"].dump(), "[[0.10000000149011612],[2.0]]");
    EXPECT_EQ(body["checksum"], fake::sha256_hex("[[0.10000000149011612],[2.0]]"));
    EXPECT_EQ(body["string_ids"], json::parse(R"(["a","b"])"));
    EXPECT_EQ(service.requests("/api/get_upload_data_status").size(), 1u);
    EXPECT_NE(r.out.find("\033[32m[SUCCESS] Upload Finished.\033[0m\n\033[32m[SUCCESS] 2 rows\033[0m\n"),
              std::string::npos)
        << r.out;
}

TEST_F(EndToEnd, InsertAndDeleteVectors) {
    RunResult r = one_shot("INSERT_VECTOR p d v1 [1:0.5, 3:2] --vector_attributes [color:red]");
    json body = only_body("/api/add_data");
    EXPECT_EQ(body["data"], json::parse("[[1,0.5],[3,2.0]]"));
    EXPECT_EQ(body["attributes"], json::parse(R"({"color":"red"})"));
    EXPECT_NE(r.out.find("Successfully inserted vector"), std::string::npos);

    r = one_shot("DELETE_VECTOR p d [v1, v2, v1]");
    body = only_body("/api/remove_data");
    EXPECT_EQ(body["string_ids"], json::parse(R"(["v1","v2","v1"])"));
    EXPECT_NE(r.out.find("Successfully deleted 3 vectors from dataset d"), std::string::npos);
}

TEST_F(EndToEnd, ConfirmedAndCancelledDeletes) {
    RunResult r = one_shot("DELETE_DATASET p d", "y\n");
    EXPECT_EQ(only_body("/api/delete_dataset"),
              json::parse(R"({"dataset_name":"d","project_name":"p","user_api_key":"test-key"})"));
    EXPECT_NE(r.out.find("Successfully deleted dataset 'd'"), std::string::npos);

    r = one_shot("DELETE_INDEX p d i", "n\n");
    EXPECT_TRUE(service.requests("/api/delete_index").empty());
}

TEST_F(EndToEnd, AttachFollowsTheJobAtTheFirstPoll) {
    service.set("/api/fetch_datasets", fake::Reply{200, R"x({"datasets":[{"dimension":"(10, 4)","name":"d","size":1}]})x"});
    RunResult r = one_shot("ATTACH_INDEX p d idx cosine true");
    json body = only_body("/api/attach_index");
    EXPECT_EQ(body["dist_type"], "Cosine");
    EXPECT_EQ(body["large_index"], true);
    EXPECT_NE(r.out.find(" Number of vectors to be indexed: 10\nwait_time 3000\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Successfully attached index"), std::string::npos);
}

namespace {

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

}  // namespace

TEST_F(EndToEnd, UploadSendsEveryRecordOnceInOrder) {
    const std::string dir = testing::TempDir();
    const std::string csv = dir + "e2e_upload.csv", ids = dir + "e2e_ids.txt";
    {
        std::ofstream data(csv), id_file(ids);
        data << "a,b,c\n";
        for (int i = 0; i < 50; ++i) {
            data << i << "," << i * 0.5 << "," << -i << "\n";
            id_file << "id" << i << (i % 3 == 0 ? "\n" : " ");
        }
    }
    RunOptions o;
    o.args = {"UPLOAD p " + csv + " --dataset_name d --file_format csv --vector_type dense "
              "--has_field_names TRUE --string_ids_file_path " + ids};
    o.env["SHARD_SIZE"] = "400";
    RunResult r = test_support::run_tarvo(service, o);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("Successfully uploaded file to dataset"), std::string::npos) << r.out;

    auto shards = service.requests("/api/upload");
    ASSERT_EQ(shards.size(), 2u);
    std::vector<std::string> records, sent_ids;
    for (const auto& shard : shards) {
        auto lines = split_lines(shard.file_data);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "a,b,c");  // the header starts every shard
        records.insert(records.end(), lines.begin() + 1, lines.end());
        for (const auto& id : split_lines(shard.string_ids)) sent_ids.push_back(id);
        json body = json::parse(shard.body);
        EXPECT_EQ(body["project_name"], "p");
        EXPECT_EQ(body["dataset_name"], "d");
    }
    ASSERT_EQ(records.size(), 50u);
    ASSERT_EQ(sent_ids.size(), 50u);
    for (int i = 0; i < 50; ++i) {
        std::ostringstream want;
        want << i << "," << i * 0.5 << "," << -i;
        EXPECT_EQ(records[i], want.str());
        EXPECT_EQ(sent_ids[i], "id" + std::to_string(i));
    }
    EXPECT_EQ(service.requests("/api/get_upload_data_status").size(), shards.size());
}
