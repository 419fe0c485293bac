// The search handler against the fake service: the /search bodies of every
// query and filter form, every refusal with nothing sent, and the exact lines
// printed for both answer forms.
#include <cstdio>
#include <fstream>
#include <functional>
#include <set>

#include <nlohmann/json.hpp>

#include "support/client_fixture.h"

using nlohmann::json;
using rest_client::OptionMap;
using test_support::capture;
using test_support::green;
using test_support::info;
using test_support::Output;
using test_support::red;

namespace {

const std::string B = "================================\n";
const std::string kBase =
    R"("index_name":"i","project_name":"p",)";  // between collection_name and query_type

std::string query_line(const std::string& id) { return "\033[32mQuery vector: " + id + "\033[0m\n"; }

std::string announcement(const std::string& type) {
    return info("Searching... collection_name, index_name, and query_type: d i " + type + "...");
}

// The JSON library's own message for whatever `body` throws.
std::string json_error(const std::function<void()>& body) {
    try {
        body();
    } catch (const json::exception& e) {
        return e.what();
    }
    return "(no exception)";
}

// `levels` nested empty arrays.
std::string nested(size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); }

std::string parse_error(const std::string& text) {
    return json_error([&] { json parsed = json::parse(text); });
}

std::string write_file(const std::string& name, const std::string& bytes) {
    const std::string path = testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

}  // namespace

class Search : public test_support::ClientTest {
protected:
    // Each search starts with an empty limiter, so tables of any length fit.
    bool search(const std::string& type, OptionMap options, Output& output, bool fresh_limiter = true) {
        if (fresh_limiter) rest_client::record.timestamps.clear();
        bool ok = false;
        output = capture([&] { ok = rest_client::handle_search("p", "d", "i", type, options); });
        return ok;
    }
    size_t sent() const { return service->requests("/api/search").size(); }
};

// Body keys compared one by one, then the exact bytes (compact, sorted keys).
TEST_F(Search, RequestBodiesForEveryQueryAndFilterForm) {
    const std::string csv = write_file("tarvo_search_query.csv", std::string("q\0\xff\n1,0.5\n", 10));
    const std::string empty = write_file("tarvo_search_empty.csv", "");
    struct Case {
        std::string type;
        OptionMap options;
        std::string body;
    };
    const Case cases[] = {
        {"vector", {{"query_vector", "[]"}},
         R"({"collection_name":"d",)" + kBase + R"("query_type":"vector","query_vector":[],"user_api_key":"test-key"})"},
        {"vector", {{"query_vector", R"(["0.5"," 1e3","-2abc","7"])"}, {"top_k", "7abc"}},
         R"({"collection_name":"d",)" + kBase +
             R"("query_type":"vector","query_vector":[0.5,1000.0,-2.0,7.0],"top_k":7,"user_api_key":"test-key"})"},
        {"row", {{"row_number", "42"}, {"top_k", " +12"}},
         R"({"collection_name":"d",)" + kBase + R"("query_type":"row","row_number":42,"top_k":12,"user_api_key":"test-key"})"},
        {"row", {{"row_number", " +18446744073709551615xyz"}, {"top_k", "-3"}},
         R"({"collection_name":"d",)" + kBase +
             R"("query_type":"row","row_number":18446744073709551615,"top_k":-3,"user_api_key":"test-key"})"},
        {"dataset", {{"dataset_name", "other"}},
         R"({"collection_name":"d",)" + kBase + R"("query_dataset_name":"other","query_type":"dataset","user_api_key":"test-key"})"},
        {"file", {{"file_path", csv}, {"file_type", "whatever"}},
         R"({"collection_name":"d","dataset_name":")" + csv +
             R"(","file_data":"cQD/CjEsMC41Cg==","file_format":"whatever",)" + kBase +
             R"("query_type":"file","user_api_key":"test-key"})"},
        {"file", {{"file_path", empty}, {"file_type", "csv"}},
         R"({"collection_name":"d","dataset_name":")" + empty + R"(","file_data":"","file_format":"csv",)" +
             kBase + R"("query_type":"file","user_api_key":"test-key"})"},
        {"row", {{"row_number", "0"}, {"filter_attribute", "color"}},
         R"({"collection_name":"d","filter":{"attribute":"color"},)" + kBase +
             R"("query_type":"row","row_number":0,"user_api_key":"test-key"})"},
        {"row",
         {{"row_number", "1"}, {"filter_attribute", "color"}, {"filter_type", "equality"},
          {"target_value", R"(["red","rød"])"}},
         R"({"collection_name":"d","filter":{"attribute":"color","target_values":["red","rød"],"type":"equality"},)" +
             kBase + R"("query_type":"row","row_number":1,"user_api_key":"test-key"})"},
        {"row", {{"row_number", "1"}, {"filter_type", "equality"}, {"target_value", "[]"}},
         R"({"collection_name":"d","filter":{"target_values":[],"type":"equality"},)" + kBase +
             R"("query_type":"row","row_number":1,"user_api_key":"test-key"})"},
        {"row", {{"row_number", "1"}, {"filter_type", "range"}, {"start_value", "1.5"}, {"end_value", "abc"}},
         R"({"collection_name":"d","filter":{"end_value":"abc","start_value":"1.5","type":"range"},)" + kBase +
             R"("query_type":"row","row_number":1,"user_api_key":"test-key"})"},
    };
    for (const Case& c : cases) {
        service->clear_log();
        Output o;
        EXPECT_TRUE(search(c.type, c.options, o)) << c.body;
        EXPECT_EQ(o.out, green("Search successful, retrieved top-0 vectors"));
        EXPECT_EQ(o.err, announcement(c.type));
        const auto got = bodies("/search");
        ASSERT_EQ(got.size(), 1u) << c.body;
        const json have = json::parse(got[0]), want = json::parse(c.body);
        for (const auto& [key, value] : want.items()) {
            ASSERT_TRUE(have.contains(key)) << key << " missing from " << got[0];
            EXPECT_EQ(have[key].dump(), value.dump()) << key;
        }
        for (const auto& [key, value] : have.items()) EXPECT_TRUE(want.contains(key)) << "extra key " << key;
        EXPECT_EQ(got[0], c.body);
    }
    expect_no_problems();
    std::remove(csv.c_str());
    std::remove(empty.c_str());
}

TEST_F(Search, QueryFileIsSentWholeAsBase64) {
    std::string bytes(300000, '\0');
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<char>((k * 7919 + k / 13) % 256);
    const std::string path = write_file("tarvo_search_big.bin", bytes);
    Output o;
    EXPECT_TRUE(search("file", {{"file_path", path}, {"file_type", "bin"}}, o));
    const auto got = bodies("/search");
    ASSERT_EQ(got.size(), 1u);
    bool ok = false;
    EXPECT_EQ(fake::base64_decode(json::parse(got[0]).at("file_data").get<std::string>(), &ok), bytes);
    EXPECT_TRUE(ok);
    std::remove(path.c_str());

    // A directory cannot be read as a query file: refused, nothing sent.
    service->clear_log();
    EXPECT_FALSE(search("file", {{"file_path", testing::TempDir()}, {"file_type", "csv"}}, o));
    EXPECT_EQ(o.out.rfind("\033[31m[ERROR] Error in handle_search: ", 0), 0u) << o.out;
    EXPECT_EQ(sent(), 0u);
}

// Every refusal prints its one line after the announcement and sends nothing.
TEST_F(Search, RefusalsSendNothing) {
    const std::string missing = testing::TempDir() + "tarvo_search_no_such_file";
    std::remove(missing.c_str());
    const std::string bad_list = parse_error(R"(["a")");
    const std::string bad_vector = parse_error("[0.5,");
    struct Case {
        std::string type;
        OptionMap options;
        std::string message;
    };
    const std::string top_k = "argument -top_k should be an integer";
    const std::string decimal = "query vector should consist of decimal numbers";
    const std::string row = "argument -row_number should be a non-negative integer";
    const std::string invalid_type = "Query type is invalid, valid types are vector, row, file, or dataset.";
    const Case cases[] = {
        {"dataset", {{"dataset_name", "x"}, {"top_k", "abc"}}, top_k},
        {"dataset", {{"dataset_name", "x"}, {"top_k", ""}}, top_k},
        {"dataset", {{"dataset_name", "x"}, {"top_k", "2147483648"}}, top_k},
        {"dataset", {{"dataset_name", "x"}, {"filter_type", "equality"}}, "target_value argument not found"},
        {"dataset", {{"dataset_name", "x"}, {"filter_type", "range"}, {"start_value", "1"}},
         "start_value or end_value argument not found"},
        {"dataset", {{"dataset_name", "x"}, {"filter_type", "range"}, {"end_value", "1"}},
         "start_value or end_value argument not found"},
        {"dataset", {{"dataset_name", "x"}, {"filter_type", "Equality"}, {"target_value", "[]"}},
         "Invalid filter type, valid types are equality or range"},
        {"dataset", {{"dataset_name", "x"}, {"filter_type", "equality"}, {"target_value", R"(["a")"}}, bad_list},
        {"vector", {}, "query_vector argument not found"},
        {"vector", {{"query_vector", "[0.5,"}}, bad_vector},
        {"vector", {{"query_vector", R"({"a":"1"})"}}, "query_vector must be a JSON array"},
        {"vector", {{"query_vector", R"("1")"}}, "query_vector must be a JSON array"},
        {"vector", {{"query_vector", "[1]"}}, decimal},
        {"vector", {{"query_vector", R"(["1",null])"}}, decimal},
        {"vector", {{"query_vector", R"(["abc"])"}}, decimal},
        {"vector", {{"query_vector", R"([""])"}}, decimal},
        {"vector", {{"query_vector", R"(["1e999"])"}}, decimal},
        {"vector", {{"query_vector", R"(["nan"])"}}, decimal},
        {"vector", {{"query_vector", R"(["0.5","inf"])"}}, decimal},
        {"vector", {{"query_vector", R"(["-Infinity"])"}}, decimal},
        {"row", {}, "row_number argument not found"},
        {"row", {{"row_number", "-1"}}, row},
        {"row", {{"row_number", " -0"}}, row},
        {"row", {{"row_number", "abc"}}, row},
        {"row", {{"row_number", ""}}, row},
        {"row", {{"row_number", "+-1"}}, row},
        {"row", {{"row_number", "18446744073709551616"}}, row},
        {"file", {{"file_path", "q.csv"}}, "file_path or file_type argument not found"},
        {"file", {{"file_type", "csv"}}, "file_path or file_type argument not found"},
        {"file", {{"file_path", missing}, {"file_type", "csv"}, {"top_k", "3"}}, "Could not open file: " + missing},
        {"dataset", {}, "dataset_name argument not found"},
        {"Vector", {{"query_vector", "[]"}}, invalid_type},
        {"ROW", {{"row_number", "1"}}, invalid_type},
        {"", {}, invalid_type},
        // The first failing check wins.
        {"nonsense", {{"top_k", "x"}, {"filter_type", "bad"}}, top_k},
        {"nonsense", {{"filter_type", "bad"}}, "Invalid filter type, valid types are equality or range"},
        {"row", {{"row_number", "-1"}, {"stray", "1"}}, row},
    };
    for (const Case& c : cases) {
        Output o;
        EXPECT_FALSE(search(c.type, c.options, o)) << c.message;
        EXPECT_EQ(o.out, red("Error in handle_search: " + c.message)) << c.type;
        EXPECT_EQ(o.err, announcement(c.type));
        EXPECT_EQ(sent(), 0u) << c.message;
        EXPECT_TRUE(rest_client::record.timestamps.empty()) << "refused after the limiter: " << c.message;
    }
}

TEST_F(Search, LeftoverOptionsAreReportedOneByOne) {
    struct Case {
        std::string type;
        OptionMap options;
        std::set<std::string> leftovers;
    };
    const Case cases[] = {
        {"vector", {{"query_vector", R"(["1"])"}, {"row_number", "3"}}, {"row_number"}},
        {"row", {{"row_number", "3"}, {"filter_type", "equality"}, {"target_value", "[]"}, {"start_value", "1"}},
         {"start_value"}},
        {"dataset", {{"dataset_name", "x"}, {"end_value", "2"}, {"file_type", "csv"}, {"query_vector", "[]"}},
         {"end_value", "file_type", "query_vector"}},
        {"row", {{"row_number", "3"}, {"filter_attribute", "a"}, {"target_value", "[]"}}, {"target_value"}},
    };
    for (const Case& c : cases) {
        Output o;
        EXPECT_FALSE(search(c.type, c.options, o));
        std::multiset<std::string> got;
        for (const auto& line : test_support::lines(o.out)) got.insert(line + "\n");
        std::multiset<std::string> want;
        for (const auto& key : c.leftovers) want.insert(red("Invalid argument: " + key));
        EXPECT_EQ(got, want);
        EXPECT_EQ(o.err, announcement(c.type));
        EXPECT_EQ(sent(), 0u);
    }
}

// Leftovers stop the call before the limiter: a full limiter neither refuses
// nor records them; a valid search is refused with the limiter's line.
TEST_F(Search, LeftoversNeverReachTheRateLimiter) {
    const auto now = std::chrono::steady_clock::now();
    rest_client::record.timestamps.assign(10, now);
    Output o;
    EXPECT_FALSE(search("row", {{"row_number", "1"}, {"colour", "red"}}, o, false));
    EXPECT_EQ(o.out, red("Invalid argument: colour"));
    EXPECT_EQ(rest_client::record.timestamps.size(), 10u);

    EXPECT_FALSE(search("row", {{"row_number", "1"}}, o, false));
    EXPECT_EQ(o.out,
              "\033[31m[Tarvo] Request limit reached, please try again later. If you are inserting multiple "
              "vectors, please use INSERT_VECTOR_BATCH.\033[0m\n" +
                  red("Error in handle_search: Too many operations in a short time period!"));
    EXPECT_EQ(sent(), 0u);
}

TEST_F(Search, AnswersArePrintedExactly) {
    const std::string not_json = parse_error("not json");
    const std::string no_distance = json_error([] { (void)json::object().at("distance"); });
    const std::string string_distance = json_error([] { (void)json("x").get<double>(); });
    const std::string null_distance = json_error([] { (void)json().get<double>(); });
    const std::string number_match = json_error([] { (void)json(5).at("distance"); });
    const std::string incorrect = red("Server returned incorrect response format");
    struct Case {
        int status;
        std::string body;
        std::string out;
        bool ok;
    };
    const Case cases[] = {
        // per-query form
        {200,
         R"({"results":[{"query_vector_id":0,"matches":[{"distance":0.25,"idx":"a"},{"distance":-1.5,"idx":17}]},)"
         R"({"query_vector_id":"q2","matches":[]},)"
         R"({"matches":[{"idx":"x"},{"distance":1234567.0},{"distance":1e300,"idx":{"k":[1]}}]},)"
         R"({"query_vector_id":3},{"query_vector_id":[4],"matches":null}]})",
         green("Search successful, found 5 search results") + B + query_line("0") + B +
             "Distance: 0.25\nID: \"a\"\n" + B + "Distance: -1.5\nID: 17\n" + B +  //
             B + query_line("\"q2\"") + B +                                         //
             B + query_line("null") + B + "Distance: null\nID: \"x\"\n" + B + "Distance: 1234567.0\nID: null\n" + B +
             "Distance: 1e+300\nID: {\"k\":[1]}\n" + B +  //
             B + query_line("3") + B +                    //
             B + query_line("[4]") + B,
         true},
        {200, R"({"results":[{"query_vector_id":1,"matches":[]}]})",
         green("Search successful, found 1 search results") + B + query_line("1") + B, true},
        // flat form
        {200,
         R"({"results":[{"distance":0.25,"idx":"a"},{"distance":-0.5,"idx":2},{"distance":1234567,"idx":null},)"
         R"({"distance":1e-7},{"distance":true,"idx":[1,2]},{"distance":1e300,"idx":"big"},)"
         R"({"distance":0.1,"idx":"f"},{"distance":-3e38},{"distance":-7,"idx":-7}]})",
         green("Search successful, retrieved top-9 vectors") +                //
             B + "Distance/Similarity: 0.25\nID: \"a\"\n" +                   //
             B + "Distance/Similarity: 0.5\nID: 2\n" +                        //
             B + "Distance/Similarity: 1.23457e+06\nID: null\n" +             //
             B + "Distance/Similarity: 1e-07\nID: null\n" +                   //
             B + "Distance/Similarity: 1\nID: [1,2]\n" +                      //
             B + "Distance/Similarity: inf\nID: \"big\"\n" +                  //
             B + "Distance/Similarity: 0.1\nID: \"f\"\n" +                    //
             B + "Distance/Similarity: 3e+38\nID: null\n" +                   //
             B + "Distance/Similarity: 7\nID: -7\n",
         true},
        // a null matches on the first result means the flat form
        {200, R"({"results":[{"matches":null,"distance":1.5,"idx":"m"},{"matches":[],"distance":2,"idx":"n"}]})",
         green("Search successful, retrieved top-2 vectors") + B + "Distance/Similarity: 1.5\nID: \"m\"\n" + B +
             "Distance/Similarity: 2\nID: \"n\"\n",
         true},
        {200, R"({"results":[]})", green("Search successful, retrieved top-0 vectors"), true},
        {200, R"({"results":[],"extra":1})", green("Search successful, retrieved top-0 vectors"), true},
        // a flat match the client cannot read ends the line with the catch line
        {200, R"({"results":[{"distance":1,"idx":"a"},{"idx":"b"}]})",
         green("Search successful, retrieved top-2 vectors") + B + "Distance/Similarity: 1\nID: \"a\"\n" + B +
             "Distance/Similarity: " + red("Error in handle_search: " + no_distance),
         false},
        {200, R"({"results":[{"distance":"0.5"}]})",
         green("Search successful, retrieved top-1 vectors") + B + "Distance/Similarity: " +
             red("Error in handle_search: " + string_distance),
         false},
        {200, R"({"results":[{"distance":null}]})",
         green("Search successful, retrieved top-1 vectors") + B + "Distance/Similarity: " +
             red("Error in handle_search: " + null_distance),
         false},
        {200, R"({"results":[5]})",
         green("Search successful, retrieved top-1 vectors") + B + "Distance/Similarity: " +
             red("Error in handle_search: " + number_match),
         false},
        // answers of the wrong shape
        {200, R"({"answer":[]})", incorrect, false},
        {200, R"({"results":{"distance":1}})", incorrect, false},
        {200, R"({"results":null})", incorrect, false},
        {200, R"([{"distance":1}])", incorrect, false},
        {200, R"({"results":[{"query_vector_id":1,"matches":{"distance":1}}]})",
         green("Search successful, found 1 search results") + B + query_line("1") + B + incorrect, false},
        {200, "not json", red("Error in handle_search: " + not_json), false},
        {500, "boom", red("Search failed! Status: 500\nResponse: boom"), false},
        {404, "", red("Search failed! Status: 404\nResponse: "), false},
    };
    for (const Case& c : cases) {
        service->push("/api/search", fake::Reply{c.status, c.body});
        Output o;
        EXPECT_EQ(search("vector", {{"query_vector", R"(["1"])"}}, o), c.ok) << c.body;
        EXPECT_EQ(o.out, c.out) << c.body;
        EXPECT_EQ(o.err, announcement("vector"));
    }
    EXPECT_EQ(sent(), std::size(cases));
}

// Matches are copied and written out level by level; an answer nested past
// the limit is refused as a whole.
TEST_F(Search, NestedAnswers) {
    const std::string prefix = R"({"results":[{"distance":1,"idx":)";  // three levels open
    Output o;
    service->push("/api/search", fake::Reply{200, prefix + nested(997) + "}]}"});
    EXPECT_TRUE(search("vector", {{"query_vector", R"(["1"])"}}, o));
    EXPECT_EQ(o.out, green("Search successful, retrieved top-1 vectors") + B +
                         "Distance/Similarity: 1\nID: " + nested(997) + "\n");
    for (size_t levels : {998, 100000}) {
        service->push("/api/search", fake::Reply{200, prefix + nested(levels) + "}]}"});
        EXPECT_FALSE(search("vector", {{"query_vector", R"(["1"])"}}, o));
        EXPECT_EQ(o.out, red("Error in handle_search: [json.exception.parse_error.101] parse error at byte " +
                             std::to_string(prefix.size() + 998) +
                             ": syntax error - JSON nested deeper than 1000 levels"));
    }
    EXPECT_EQ(sent(), 3u);
}
