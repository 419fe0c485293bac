// Deleting vectors by string id against the fake service, through the real
// HTTP layer.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/client_fixture.h"

namespace {

using namespace test_support;
using Ids = std::vector<std::string>;

class Delete : public ClientTest {};

TEST_F(Delete, IdsSentAsGivenAndCountedFromTheRequest) {
    struct Case {
        Ids ids;
        std::string sent_ids;
        std::string count;
    };
    const Case cases[] = {
        {{"a", "b", "a"}, R"(["a","b","a"])", "3"},  // duplicates stay
        {{}, "[]", "0"},
        {{"é"}, R"(["é"])", "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sent_ids);
        service->clear_log();
        rest_client::record.timestamps.clear();
        bool result = false;
        Output o = capture([&] { result = rest_client::handle_delete_vector("p", "d s", c.ids); });
        EXPECT_TRUE(result);
        EXPECT_EQ(o.err, info("Deleting " + c.count + " vectors from dataset d s..."));
        EXPECT_EQ(o.out, green("Successfully deleted " + c.count + " vectors from dataset d s"));
        EXPECT_EQ(bodies("/remove_data"),
                  Ids{R"({"collection_name":"d s","project_name":"p","string_ids":)" + c.sent_ids +
                      R"(,"user_api_key":"test-key"})"});
        expect_no_problems();
    }
}

TEST_F(Delete, AnswerOutcomes) {
    struct Case {
        fake::Reply reply;
        std::string out;
        bool result;
    };
    const std::string prefix = "Error in handle_delete_vector: ";
    const Case cases[] = {
        {{200, R"({"error_code":"Success","deleted":0})"},
         green("Successfully deleted 2 vectors from dataset d"),
         true},
        {{200, "{}"}, red("Failed to delete vector, error message: UNKNOWN"), false},
        {{200, R"({"error_code":"success","error_message":"lower case"})"},
         red("Failed to delete vector, error message: lower case"),
         false},
        {{200, R"({"error_code":"NOT_FOUND"})"},
         red("Failed to delete vector, error message: UNKNOWN"),
         false},
        {{404, "no such dataset"},
         red("Delete vector failed! Status: 404\nResponse: no such dataset"),
         false},
        {{200, "oops"},
         red(prefix + "[json.exception.parse_error.101] parse error at line 1, column 1: syntax "
                      "error while parsing value - invalid literal; last read: 'o'"),
         false},
        {{200, "[]"},
         red(prefix + "[json.exception.type_error.306] cannot use value() with array"),
         false},
        {{200, R"({"error_code":1})"},
         red(prefix + "[json.exception.type_error.302] type must be string, but is number"),
         false},
        {{200, R"({"error_code":"NOT_FOUND","error_message":7})"},
         red(prefix + "[json.exception.type_error.302] type must be string, but is number"),
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply.body);
        rest_client::record.timestamps.clear();
        service->push("/api/remove_data", c.reply);
        bool result = !c.result;
        Output o = capture([&] {
            result = rest_client::handle_delete_vector("p", "d", {"x", "y"});
        });
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, info("Deleting 2 vectors from dataset d..."));
        EXPECT_EQ(result, c.result);
    }
    EXPECT_EQ(bodies("/remove_data").size(), std::size(cases));
}

TEST_F(Delete, NothingSentOnRefusalOrBadName) {
    rest_client::record.timestamps.assign(10, std::chrono::steady_clock::now());
    Output refused =
        capture([] { EXPECT_FALSE(rest_client::handle_delete_vector("p", "d", {"a"})); });
    EXPECT_EQ(
        refused.out,
        "\033[31m[Tarvo] Request limit reached, please try again later. If you are inserting "
        "multiple vectors, please use INSERT_VECTOR_BATCH.\033[0m\n" +
            red("Error in handle_delete_vector: Too many operations in a short time period!"));

    rest_client::record.timestamps.clear();
    Output bad =
        capture([] { EXPECT_FALSE(rest_client::handle_delete_vector("p", "d", {"a\xff"})); });
    EXPECT_EQ(bad.out, red("Error in handle_delete_vector: [json.exception.type_error.316] invalid "
                           "UTF-8 byte at index 1: 0xFF"));
    EXPECT_TRUE(service->requests().empty());
}

TEST_F(Delete, UnreachableServiceIsStatusZero) {
    {
        fake::FakeService gone;
        server_base_url = gone.api_url();
    }
    Output o = capture([] { EXPECT_FALSE(rest_client::handle_delete_vector("p", "d", {"a"})); });
    EXPECT_EQ(o.out, red("Delete vector failed! Status: 0\nResponse: "));
}

}  // namespace
