// Single and batch vector inserts against the fake service, through the real
// HTTP layer: value conversions, request bodies, the dense batch checksum and
// job poll, the sparse result listing and every failure line.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/client_fixture.h"

namespace {

using namespace test_support;
using json = nlohmann::json;
using rest_client::OptionMap;
using Rows = std::vector<std::vector<std::string>>;
using Words = std::vector<std::string>;

const std::string kSingleInfo = info("Inserting vector to dataset d...");
const std::string kBatchInfo =
    info("Batch insertion with project_name and collection_name: p d...");
const std::string kNotNumber = "Elements inside the vector should be a number";
const std::string kInvalidValues = "Invalid values for vector";
const std::string kBorder = "================================\n";

// The JSON library's own message for a text it cannot parse.
std::string parse_error(const std::string& text) {
    try {
        const json ignored = json::parse(text);
        (void)ignored;
    } catch (const json::exception& e) {
        return e.what();
    }
    ADD_FAILURE() << "parses: " << text;
    return {};
}

std::string single_body(const std::string& data, const std::string& attributes = "") {
    return "{" + (attributes.empty() ? "" : "\"attributes\":" + attributes + ",") +
           R"("collection_name":"d","data":)" + data +
           R"(,"project_name":"p","string_id":"id1","user_api_key":"test-key"})";
}

struct Result {
    bool result = false;
    Output output;
    std::vector<std::string> sent;    // bodies received on the command's path
    std::vector<std::string> polled;  // bodies received on the status path
};

class Insert : public ClientTest {
protected:
    // Each row of a table starts with an empty log, no sleeps and a fresh
    // limiter window.
    Result call(const std::string& path, const std::function<bool()>& call) {
        service->clear_log();
        sleeps.clear();
        rest_client::record.timestamps.clear();
        Result r;
        r.output = capture([&] { r.result = call(); });
        r.sent = bodies(path);
        r.polled = bodies("/get_upload_data_status");
        expect_no_problems();
        return r;
    }
    Result dense(const Words& words, OptionMap options = {}) {
        return call("/add_data", [&] {
            return rest_client::handle_insert_vector("p", "d", "id1", words, options);
        });
    }
    Result sparse(const std::string& text, OptionMap options = {}) {
        return call("/add_data", [&] {
            return rest_client::handle_insert_vector("p", "d", "id1", text, options);
        });
    }
    Result dense_batch(const Words& ids, const Rows& rows, OptionMap options = {}) {
        return call("/add_data_batch", [&] {
            return rest_client::handle_insert_vector_batch("p", "d", ids, rows, options);
        });
    }
    Result sparse_batch(const Words& ids, const Words& texts, OptionMap options = {}) {
        return call("/add_data_batch", [&] {
            return rest_client::handle_insert_vector_batch("p", "d", ids, texts, options);
        });
    }
};

// ---- single insert ----------------------------------------------------------------

TEST_F(Insert, DenseValueWordsFollowTheFloatRule) {
    struct Case {
        Words words;
        std::string data;  // empty: refused, nothing sent
    };
    const Case cases[] = {
        {{"0.1"}, "[0.10000000149011612]"},
        {{"1.5", "2.5abc", " 7", "-3.25"}, "[1.5,2.5,7.0,-3.25]"},
        {{"0x1p3", "1e38", "\t+4"}, "[8.0,9.999999680285692e+37,4.0]"},
        {{}, "[]"},
        {{"abc"}, ""},
        {{"1", "x1"}, ""},
        {{""}, ""},
        {{"1e39"}, ""},
        {{"-1e39"}, ""},
        {{"1e-50"}, ""},
        // NaN and infinity would reach the service as null: refused.
        {{"nan"}, ""},
        {{"NaN"}, ""},
        {{"-nan"}, ""},
        {{"nan(1)"}, ""},
        {{"inf"}, ""},
        {{"-INF"}, ""},
        {{"+Infinity"}, ""},
        {{"1", "inf"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.words));
        Result r = dense(c.words);
        EXPECT_EQ(r.output.err, kSingleInfo);
        if (c.data.empty()) {
            EXPECT_FALSE(r.result);
            EXPECT_EQ(r.output.out, red("Error in handle_insert: " + kNotNumber));
            EXPECT_TRUE(r.sent.empty());
        } else {
            EXPECT_TRUE(r.result);
            EXPECT_EQ(r.output.out, green("Successfully inserted vector"));
            EXPECT_EQ(r.sent, Words{single_body(c.data)});
        }
    }
}

TEST_F(Insert, SparseTextWalkedInKeyOrder) {
    struct Case {
        std::string text;
        std::string data;   // sent data, or
        std::string error;  // the message after "Error in handle_insert: "
    };
    const Case cases[] = {
        {R"({"10":"1","2":"0.5"})", "[[10,1.0],[2,0.5]]", ""},
        {R"({"05":"1","5":"2"})", "[[5,1.0],[5,2.0]]", ""},
        {R"({"3x":"0.1"})", "[[3,0.10000000149011612]]", ""},
        {R"({" 7":"2.5abc"})", "[[7,2.5]]", ""},
        {R"({"2147483647":"1"})", "[[2147483647,1.0]]", ""},
        {"{}", "[]", ""},
        {"null", "[]", ""},
        {R"(["1.5","2"])", "[[0,1.5],[1,2.0]]", ""},
        {R"({"x3":"1"})", "", kInvalidValues},
        // A minus sign would wrap to a huge unsigned index.
        {R"({"-1":"1"})", "", kInvalidValues},
        {R"({" -0":"1"})", "", kInvalidValues},
        {R"({"2147483648":"1"})", "", kInvalidValues},
        {R"({"1":1})", "", kInvalidValues},
        {R"({"1":null})", "", kInvalidValues},
        {R"({"1":"abc"})", "", kInvalidValues},
        {R"({"1":"1e39"})", "", kInvalidValues},
        {R"({"1":"nan"})", "", kInvalidValues},
        {R"({"1":"-Infinity"})", "", kInvalidValues},
        {R"({"1":"2","3":"inf"})", "", kInvalidValues},
        {R"("5")", "", kInvalidValues},
        {"{1:2}", "", parse_error("{1:2}")},
        {"", "", parse_error("")},
        {R"({"1":"2"} // c)", "", parse_error(R"({"1":"2"} // c)")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Result r = sparse(c.text);
        EXPECT_EQ(r.output.err, kSingleInfo);
        if (c.error.empty()) {
            EXPECT_TRUE(r.result);
            EXPECT_EQ(r.output.out, green("Successfully inserted vector"));
            EXPECT_EQ(r.sent, Words{single_body(c.data)});
        } else {
            EXPECT_FALSE(r.result);
            EXPECT_EQ(r.output.out, red("Error in handle_insert: " + c.error));
            EXPECT_TRUE(r.sent.empty());
        }
    }
}

TEST_F(Insert, AttributesComeFromTheOptionMapOnly) {
    struct Case {
        OptionMap options;
        std::string attributes;  // empty: no attributes key
        std::string error;
    };
    const Case cases[] = {
        {{}, "", ""},
        {{{"vector_attributes", "{}"}}, "{}", ""},
        {{{"vector_attributes", R"({"size":"2","color":"red"})"}},
         R"({"color":"red","size":"2"})",
         ""},
        {{{"top_k", "5"}}, "", ""},  // other keys are not this command's business
        {{{"vector_attributes", "{color:red}"}}, "", parse_error("{color:red}")},
    };
    for (const auto& c : cases) {
        for (bool is_sparse : {false, true}) {
            SCOPED_TRACE(c.attributes + (is_sparse ? " sparse" : " dense"));
            Result r = is_sparse ? sparse(R"({"1":"0.5"})", c.options) : dense({"0.5"}, c.options);
            if (c.error.empty()) {
                EXPECT_TRUE(r.result);
                EXPECT_EQ(r.sent,
                          Words{single_body(is_sparse ? "[[1,0.5]]" : "[0.5]", c.attributes)});
            } else {
                EXPECT_FALSE(r.result);
                EXPECT_EQ(r.output.out, red("Error in handle_insert: " + c.error));
                EXPECT_TRUE(r.sent.empty());
            }
        }
    }
}

TEST_F(Insert, SingleAnswerOutcomes) {
    struct Case {
        fake::Reply reply;
        std::string out;
        bool result;
    };
    const Case cases[] = {
        {{200, R"({"error_code":"Success","extra":1})"},
         green("Successfully inserted vector"),
         true},
        {{200, "{}"}, red("Insert failed! Error Code: UNKNOWN"), false},
        {{200, R"({"error_code":"success"})"}, red("Insert failed! Error Code: success"), false},
        {{200, R"({"error_code":"DIM_MISMATCH"})"},
         red("Insert failed! Error Code: DIM_MISMATCH"),
         false},
        {{500, "boom"}, red("Insert failed! Status: 500\nReponse: boom"), false},
        {{404, ""}, red("Insert failed! Status: 404\nReponse: "), false},
        {{200, "oops"}, red("Error in handle_insert: " + parse_error("oops")), false},
        {{200, "[]"},
         red("Error in handle_insert: [json.exception.type_error.306] cannot use value() with "
             "array"),
         false},
        {{200, R"({"error_code":5})"},
         red("Error in handle_insert: [json.exception.type_error.302] type must be string, but is "
             "number"),
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply.body);
        service->push("/api/add_data", c.reply);
        Result r = dense({"1"});
        EXPECT_EQ(r.output.err, kSingleInfo);
        EXPECT_EQ(r.output.out, c.out);
        EXPECT_EQ(r.result, c.result);
        EXPECT_EQ(r.sent.size(), 1u);
    }
}

TEST_F(Insert, UnreachableServiceIsStatusZero) {
    {
        fake::FakeService gone;
        server_base_url = gone.api_url();
    }
    Output o = capture(
        [] { EXPECT_FALSE(rest_client::handle_insert_vector("p", "d", "id1", Words{"1"}, {})); });
    EXPECT_EQ(o.out, red("Insert failed! Status: 0\nReponse: "));
}

TEST_F(Insert, RateLimiterRefusalSendsNothing) {
    const std::string refusal =
        "\033[31m[Tarvo] Request limit reached, please try again later. If you are inserting "
        "multiple vectors, please use INSERT_VECTOR_BATCH.\033[0m\n";
    const auto fill = [] {
        auto now = std::chrono::steady_clock::now();
        rest_client::record.timestamps.assign(10, now);
    };
    fill();
    Output single = capture([] {
        EXPECT_FALSE(rest_client::handle_insert_vector("p", "d", "id1", R"({"1":"2"})", {}));
    });
    EXPECT_EQ(single.out,
              refusal + red("Error in handle_insert: Too many operations in a short time period!"));
    fill();
    Output batch = capture([] {
        EXPECT_FALSE(rest_client::handle_insert_vector_batch("p", "d", {"a"}, Rows{{"1"}}, {}));
    });
    EXPECT_EQ(batch.out, refusal + red("Error in handle_insert_batch: Too many operations in a "
                                       "short time period!"));
    EXPECT_TRUE(service->requests().empty());
}

// ---- dense batch --------------------------------------------------------------------

TEST_F(Insert, DenseBatchChecksumIsOverTheSentDataBytes) {
    // Three ids for two rows go out as given.
    Result r = dense_batch({"a", "b", "c"}, {{"0.1"}, {"2"}},
                           {{"vector_attributes", R"([{"k":"x"},{"k":"y"}])"}});
    ASSERT_EQ(r.sent.size(), 1u);
    const std::string& body = r.sent[0];

    // Recompute from what the service received: the bytes after "data":.
    const json parsed = json::parse(body);
    const std::string data_text = parsed.at("data").dump();
    EXPECT_EQ(data_text, "[[0.10000000149011612],[2.0]]");
    EXPECT_NE(body.find("\"data\":" + data_text + ","), std::string::npos);
    const std::string checksum = fake::sha256_hex(data_text);
    EXPECT_EQ(checksum, fake::sha256_hex("[[0.10000000149011612],[2.0]]"));

    EXPECT_EQ(body,
              R"({"attributes":[{"k":"x"},{"k":"y"}],"checksum":")" + checksum +
                  R"(","collection_name":"d","data":[[0.10000000149011612],[2.0]],)"
                  R"("project_name":"p","string_ids":["a","b","c"],"user_api_key":"test-key"})");
    EXPECT_EQ(r.output.err, kBatchInfo + info("data field checksum: " + checksum));
    // The fake service echoes the checksum; the job is finished at once.
    EXPECT_EQ(r.output.out, "Server returns matching checksum: " + checksum + "\n" +
                                green("Upload Finished.") + green("Done"));
    EXPECT_TRUE(r.result);
    EXPECT_EQ(r.polled, Words{R"({"job_id":"batch-1","user_api_key":"test-key"})"});
    EXPECT_TRUE(sleeps.empty());
}

TEST_F(Insert, DenseBatchEmptyAndRaggedRowsGoOutAsGiven) {
    Result empty = dense_batch({}, {});
    ASSERT_EQ(empty.sent.size(), 1u);
    EXPECT_EQ(empty.sent[0], R"({"checksum":")" + fake::sha256_hex("[]") +
                                 R"(","collection_name":"d","data":[],"project_name":"p",)"
                                 R"("string_ids":[],"user_api_key":"test-key"})");
    EXPECT_TRUE(empty.result);

    Result ragged = dense_batch({"a"}, {{"1", "2.5abc"}, {}, {" 3"}});
    ASSERT_EQ(ragged.sent.size(), 1u);
    EXPECT_EQ(json::parse(ragged.sent[0]).at("data").dump(), "[[1.0,2.5],[],[3.0]]");
}

TEST_F(Insert, DenseBatchRefusedBeforeSending) {
    struct Case {
        Rows rows;
        OptionMap options;
        std::string message;
    };
    const Case cases[] = {
        {{{"1"}, {"2", "x"}}, {}, kNotNumber},
        {{{"1e-50"}}, {}, kNotNumber},
        {{{"nan"}}, {}, kNotNumber},
        {{{"1"}, {"-inf"}}, {}, kNotNumber},
        {{{"1"}}, {{"vector_attributes", "[{"}}, parse_error("[{")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        Result r = dense_batch({"a", "b"}, c.rows, c.options);
        EXPECT_FALSE(r.result);
        EXPECT_EQ(r.output.err, kBatchInfo);  // no checksum line either
        EXPECT_EQ(r.output.out, red("Error in handle_insert_batch: " + c.message));
        EXPECT_TRUE(r.sent.empty());
    }
}

TEST_F(Insert, DenseBatchPollSequences) {
    const std::string accepted = R"({"checksum_server":"cs","job_id":"job-7"})";
    const std::string checksum_line = "Server returns matching checksum: cs\n";
    const auto catch_lines = [&](const std::string& message) {
        return red("Failed to parse server response: " + message) +
               red("Raw response: " + accepted);
    };
    const std::string pending = R"({"status":"pending","success":true})";
    const std::string running = R"({"status":"in_progress","success":true})";
    struct Case {
        std::string name;
        std::vector<fake::Reply> answers;
        std::string infos;  // after the announcement and checksum lines
        std::string out;    // after the checksum line
        bool result;
    };
    const Case cases[] = {
        {"pending, running, finished",
         {{200, pending},
          {200, running},
          {200, R"({"error_message":"2 rows","status":"finished","success":true})"}},
         info("Upload is pending") + info("Upload is in progress"),
         green("Upload Finished.") + green("2 rows"),
         true},
        {"success false still counts",
         {{200, R"({"error_message":"ok","status":"finished","success":false})"}},
         "",
         green("Upload Finished.") + green("ok"),
         true},
        {"failed with error",
         {{200, running}, {200, R"({"error":"disk full","status":"failed","success":true})"}},
         info("Upload is in progress"),
         red("Server failed to upload: disk full"),
         false},
        {"failed without error",
         {{200, R"({"status":"failed","success":true})"}},
         "",
         red("Server failed to upload"),
         false},
        {"unknown status",
         {{200, R"({"status":"cancelled","success":true})"}},
         "",
         red("Server returned unknown status"),
         false},
        // A status answer that failed leaves the batch unconfirmed: false.
        {"status answer 502",
         {{200, pending}, {502, "bad gateway"}},
         info("Upload is pending"),
         red("Server error: returned status 502 due to bad gateway"),
         false},
        {"no success key",
         {{200, R"({"status":"finished","error_message":"x"})"}},
         "",
         red("Server returned invalid response"),
         false},
        {"no status key",
         {{200, R"({"success":true})"}},
         "",
         red("Server returned invalid response"),
         false},
        {"array answer", {{200, "[]"}}, "", red("Server returned invalid response"), false},
        {"finished without error_message",
         {{200, R"({"status":"finished","success":true})"}},
         "",
         green("Upload Finished.") +
             catch_lines("[json.exception.out_of_range.403] key 'error_message' not found"),
         false},
        {"error_message not a string",
         {{200, R"({"error_message":3,"status":"finished","success":true})"}},
         "",
         green("Upload Finished.") +
             catch_lines("[json.exception.type_error.302] type must be string, but is number"),
         false},
        {"status answer not JSON",
         {{200, "<html>"}},
         "",
         catch_lines(parse_error("<html>")),
         false},
        {"status not a string",
         {{200, R"({"status":5,"success":true})"}},
         "",
         catch_lines("[json.exception.type_error.302] type must be string, but is number"),
         false},
        {"error not a string",
         {{200, R"({"error":[],"status":"failed","success":true})"}},
         "",
         catch_lines("[json.exception.type_error.302] type must be string, but is array"),
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->push("/api/add_data_batch", {200, accepted});
        for (const auto& a : c.answers) service->push("/api/get_upload_data_status", a);
        Result r = dense_batch({"a"}, {{"1"}});
        const std::string checksum = fake::sha256_hex("[[1.0]]");
        EXPECT_EQ(r.output.err, kBatchInfo + info("data field checksum: " + checksum) + c.infos);
        EXPECT_EQ(r.output.out, checksum_line + c.out);
        EXPECT_EQ(r.result, c.result);
        // One status request per answer, the first at once, 3 s between the rest.
        EXPECT_EQ(r.polled,
                  Words(c.answers.size(), R"({"job_id":"job-7","user_api_key":"test-key"})"));
        EXPECT_EQ(sleeps, std::vector<std::chrono::milliseconds>(c.answers.size() - 1,
                                                                 std::chrono::milliseconds(3000)));
        // Only the batch request passed the rate limiter, not the polls.
        EXPECT_EQ(rest_client::record.timestamps.size(), 1u);
    }
}

TEST_F(Insert, DenseBatchAnswerFailures) {
    struct Case {
        fake::Reply reply;
        std::string out;
    };
    const auto catch_lines = [](const std::string& message, const std::string& raw) {
        return red("Failed to parse server response: " + message) + red("Raw response: " + raw);
    };
    const Case cases[] = {
        {{500, "down"}, red("Insertions failed! Status: 500\nResponse: down")},
        {{401, ""}, red("Insertions failed! Status: 401\nResponse: ")},
        {{200, "nope"}, catch_lines(parse_error("nope"), "nope")},
        {{200, "[1]"},
         catch_lines("[json.exception.type_error.304] cannot use at() with array", "[1]")},
        {{200, R"({"job_id":"j"})"},
         catch_lines("[json.exception.out_of_range.403] key 'checksum_server' not found",
                     R"({"job_id":"j"})")},
        {{200, R"({"checksum_server":1,"job_id":"j"})"},
         catch_lines("[json.exception.type_error.302] type must be string, but is number",
                     R"({"checksum_server":1,"job_id":"j"})")},
        {{200, R"({"checksum_server":"c"})"},
         "Server returns matching checksum: c\n" +
             catch_lines("[json.exception.out_of_range.403] key 'job_id' not found",
                         R"({"checksum_server":"c"})")},
        {{200, R"({"checksum_server":"c","job_id":7})"},
         "Server returns matching checksum: c\n" +
             catch_lines("[json.exception.type_error.302] type must be string, but is number",
                         R"({"checksum_server":"c","job_id":7})")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply.body);
        service->push("/api/add_data_batch", c.reply);
        Result r = dense_batch({"a"}, {{"1"}});
        EXPECT_FALSE(r.result);
        EXPECT_EQ(r.output.out, c.out);
        EXPECT_EQ(r.sent.size(), 1u);
        EXPECT_TRUE(r.polled.empty());
    }
}

// ---- sparse batch ---------------------------------------------------------------------

TEST_F(Insert, SparseBatchRequestHasNoChecksum) {
    Result r = sparse_batch({"a", "b"}, {R"({"1":"0.5"})", R"({"10":"1","2":"0.1"})", "{}"},
                            {{"vector_attributes", R"([{"k":"x"}])"}, {"top_k", "3"}});
    EXPECT_EQ(r.sent,
              Words{R"({"attributes":[{"k":"x"}],"collection_name":"d",)"
                    R"("data":[[[1,0.5]],[[10,1.0],[2,0.10000000149011612]],[]],)"
                    R"("project_name":"p","string_id":["a","b"],"user_api_key":"test-key"})"});
    EXPECT_EQ(r.output.err, kBatchInfo);
    // The fake service answers one success per id.
    EXPECT_EQ(r.output.out, green("Inserted 2 vectors successfully."));
    EXPECT_TRUE(r.result);
    EXPECT_TRUE(r.polled.empty());
}

TEST_F(Insert, SparseBatchRefusedBeforeSending) {
    struct Case {
        Words texts;
        OptionMap options;
        std::string message;
    };
    const Case cases[] = {
        {{R"({"1":"2"})", "{1:2}"}, {}, parse_error("{1:2}")},
        {{R"({"-1":"2"})"}, {}, kInvalidValues},
        {{R"({"1":"2"})", R"({"x3":"2"})"}, {}, kInvalidValues},
        {{R"({"1":2})"}, {}, kInvalidValues},
        {{R"({"1":"inf"})"}, {}, kInvalidValues},
        {{R"({"1":"2"})"}, {{"vector_attributes", "[{]"}}, parse_error("[{]")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        Result r = sparse_batch({"a", "b"}, c.texts, c.options);
        EXPECT_FALSE(r.result);
        EXPECT_EQ(r.output.err, kBatchInfo);
        EXPECT_EQ(r.output.out, red("Error in handle_insert_batch: " + c.message));
        EXPECT_TRUE(r.sent.empty());
    }
}

TEST_F(Insert, SparseBatchResultListing) {
    const auto ok_body = json({{"error_code", "Success"}}).dump();
    const auto result = [](json fields) { return fields; };
    const auto failures = [](const std::string& count, const std::vector<std::string>& lines) {
        std::string out = kBorder + red(count + " Failed insertions:\n");
        for (const auto& l : lines) out += l + "\n";
        return out + kBorder;
    };
    struct Case {
        std::string name;
        std::string answer;
        std::string out;
    };
    const Case cases[] = {
        {"mixed",
         json::array({result({{"string_id", "a"}, {"status", 200}, {"body", ok_body}}),
                      result({{"string_id", "b"}, {"status", 500}, {"body", "oops"}})})
             .dump(),
         green("Inserted 1 vectors successfully.") +
             failures("1", {R"( - string_id: "b", error: "Invalid response format")"})},
        {"codes shown",
         json::array(
             {result({{"string_id", "a"}, {"status", 200}, {"body", R"({"error_code":"DUP_ID"})"}}),
              result({{"string_id", "b"}, {"status", 500}, {"body", ok_body}}),
              result({{"status", 200}, {"body", ok_body}}),
              result({{"string_id", "d"}, {"status", 200}}),
              result({{"string_id", "e"}, {"status", 200}, {"body", "{}"}}),
              result({{"string_id", "f"}, {"status", 200}, {"body", "[]"}}),
              result({{"string_id", "g"}, {"status", 200}, {"body", R"({"error_code":5})"}}),
              result({{"string_id", "h"}, {"body", ok_body}})})
             .dump(),
         green("Inserted 1 vectors successfully.") +
             failures("7", {R"( - string_id: "a", error: "DUP_ID")",
                            R"( - string_id: "b", error: "Success")",
                            R"( - string_id: "d", error: "Invalid response format")",
                            R"( - string_id: "e", error: "UNKNOWN")",
                            R"( - string_id: "f", error: "Invalid response format")",
                            R"( - string_id: "g", error: "Invalid response format")",
                            R"( - string_id: "h", error: "Success")"})},
        {"unknown id",
         json::array({result({{"status", 500}, {"body", R"({"error_code":"FULL"})"}})}).dump(),
         green("Inserted 0 vectors successfully.") +
             failures("1", {R"( - string_id: "UNKNOWN_ID", error: "FULL")"})},
        {"status number forms",
         json::array({result({{"string_id", "a"}, {"status", 200.9}, {"body", ok_body}}),
                      result({{"string_id", "b"}, {"status", true}, {"body", ok_body}}),
                      result({{"string_id", "c"}, {"status", 199.5}, {"body", ok_body}})})
             .dump(),
         green("Inserted 1 vectors successfully.") +
             failures("2", {R"( - string_id: "b", error: "Success")",
                            R"( - string_id: "c", error: "Success")"})},
        {"empty array", "[]", green("Inserted 0 vectors successfully.")},
        {"null", "null", green("Inserted 0 vectors successfully.")},
        {"object walked over its values",
         json({{"x", result({{"string_id", "a"}, {"status", 200}, {"body", ok_body}})}}).dump(),
         green("Inserted 1 vectors successfully.")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->push("/api/add_data_batch", {200, c.answer});
        Result r = sparse_batch({"a", "b"}, {R"({"1":"1"})", R"({"2":"2"})"});
        EXPECT_EQ(r.output.err, kBatchInfo);
        EXPECT_EQ(r.output.out, c.out);
        EXPECT_TRUE(r.result);
    }
}

TEST_F(Insert, SparseBatchAnswerFailures) {
    const auto catch_lines = [](const std::string& message, const std::string& raw) {
        return red("Failed to parse server response: " + message) + red("Raw response: " + raw);
    };
    struct Case {
        fake::Reply reply;
        std::string out;
    };
    const Case cases[] = {
        {{500, "down"}, red("Insertions failed! Status: 500\nResponse: down")},
        {{200, "nope"}, catch_lines(parse_error("nope"), "nope")},
        {{200, "[5]"},
         catch_lines("[json.exception.type_error.306] cannot use value() with number", "[5]")},
        {{200, "5"},
         catch_lines("[json.exception.type_error.306] cannot use value() with number", "5")},
        {{200, R"([{"string_id":5}])"},
         catch_lines("[json.exception.type_error.302] type must be string, but is number",
                     R"([{"string_id":5}])")},
        {{200, R"([{"status":"200"}])"},
         catch_lines("[json.exception.type_error.302] type must be number, but is string",
                     R"([{"status":"200"}])")},
        {{200, R"([{"status":200,"body":{}}])"},
         catch_lines("[json.exception.type_error.302] type must be string, but is object",
                     R"([{"status":200,"body":{}}])")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply.body);
        service->push("/api/add_data_batch", c.reply);
        Result r = sparse_batch({"a"}, {R"({"1":"1"})"});
        EXPECT_FALSE(r.result);
        EXPECT_EQ(r.output.out, c.out);
        EXPECT_EQ(r.sent.size(), 1u);
    }
}

}  // namespace
