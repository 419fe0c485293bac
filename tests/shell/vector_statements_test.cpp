// INSERT_VECTOR, INSERT_VECTOR_BATCH and DELETE_VECTOR: lists, JSON texts,
// --vector_attributes and the option merge.
#include "shell_harness.h"

#include <cstdlib>

namespace {

using namespace shell_test;
using Calls = std::vector<Call>;

class ShellVectors : public ShellTest {};

const std::string kNoOptions = "{}";

TEST_F(ShellVectors, SingleInsertDenseAndSparse) {
    const std::pair<std::string, Call> cases[] = {
        {"INSERT_VECTOR p d id1 [1, 2.5, 3]",
         {"insert_vector_dense", {"p", "d", "id1", R"(["1","2.5","3"])", kNoOptions}}},
        {"INSERT_VECTOR p d id1 [-1.5e-3]",
         {"insert_vector_dense", {"p", "d", "id1", R"(["-1.5e-3"])", kNoOptions}}},
        {"INSERT_VECTOR p d id1 [3:0.5, 1:2]",
         {"insert_vector_sparse", {"p", "d", "id1", R"({"1":"2","3":"0.5"})", kNoOptions}}},
        {"INSERT_VECTOR p d id1 []", {"insert_vector_sparse", {"p", "d", "id1", "{}", kNoOptions}}},
        {"INSERT_VECTOR p d id1 [1:2,]",
         {"insert_vector_sparse", {"p", "d", "id1", R"({"1":"2"})", kNoOptions}}},
        // The leftmost pair of a key wins; keys come out in byte order.
        {"INSERT_VECTOR p d id1 [7:0.5, 2:1, 7:9, 10:1]",
         {"insert_vector_sparse", {"p", "d", "id1", R"({"10":"1","2":"1","7":"0.5"})", kNoOptions}}},
        {"INSERT_VECTOR p d id1 [\"a\":'b']",
         {"insert_vector_sparse", {"p", "d", "id1", R"({"a":"b"})", kNoOptions}}},
    };
    for (const auto& [line, call] : cases) {
        calls.clear();
        LineRun r = run(line);
        EXPECT_EQ(calls, Calls{call}) << line;
        EXPECT_EQ(r.out, "") << line;
        EXPECT_EQ(r.err, "") << line;
        EXPECT_EQ(r.result, 0) << line;
    }
}

TEST_F(ShellVectors, VectorAttributesAndTheirTraceLines) {
    const std::string attrs = R"({"color":"red","size":"2"})";
    LineRun r = run("INSERT_VECTOR p d id1 [1,2] --vector_attributes [color:red, size:2]");
    EXPECT_EQ(calls, (Calls{{"insert_vector_dense",
                             {"p", "d", "id1", R"(["1","2"])",
                              nlohmann::json({{"vector_attributes", attrs}}).dump()}}}));
    EXPECT_EQ(r.err, debug_line("vector_attributes") +
                         debug_line("insert_vector_options: vector_attributes = " + attrs));
    EXPECT_EQ(r.out, "");

    calls.clear();
    r = run("INSERT_VECTOR p d id1 [5:1] -VECTOR_ATTRIBUTES []");
    EXPECT_EQ(calls, (Calls{{"insert_vector_sparse",
                             {"p", "d", "id1", R"({"5":"1"})", R"({"vector_attributes":"{}"})"}}}));

    calls.clear();
    r = run("INSERT_VECTOR p d id1 [1,2] --vector_attributes [a:b] --vector_attributes [c:d]");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(r.out, error_lines("Repeated argument vector_attributes"));
    EXPECT_EQ(r.err, debug_line("vector_attributes") +
                         debug_line("insert_vector_options: vector_attributes = {\"a\":\"b\"}") +
                         debug_line("vector_attributes"));
    EXPECT_EQ(r.result, 1);
}

TEST_F(ShellVectors, MalformedSingleInserts) {
    const std::string help_text = syntax_error() + help("INSERT_VECTOR");
    const std::pair<std::string, int> bad[] = {
        {"INSERT_VECTOR p d id1 [1,2,]", 1},   {"INSERT_VECTOR p d id1 [,1]", 1},
        {"INSERT_VECTOR p d id1 [1:2, 3]", 1}, {"INSERT_VECTOR p d id1 [1, 2:3]", 1},
        {"INSERT_VECTOR p d id1 [1:]", 1},     {"INSERT_VECTOR p d id1 [[1]]", 1},
        {"INSERT_VECTOR p d id1 [1 2]", 1},    {"INSERT_VECTOR p d id1 [search]", 1},
        {"INSERT_VECTOR p d id1 [1", 0},       {"INSERT_VECTOR p d id1 1", 1},
        {"INSERT_VECTOR p d [1]", 1},
    };
    for (const auto& [line, result] : bad) {
        calls.clear();
        LineRun r = run(line);
        EXPECT_TRUE(calls.empty()) << line;
        EXPECT_EQ(r.out, help_text) << line;
        EXPECT_EQ(r.result, result) << line;
    }
    // Anything but an option after the list ends the statement, which runs.
    for (const char* line : {"INSERT_VECTOR p d id1 [1] extra", "INSERT_VECTOR p d id1 [1] --top_k 3",
                             "INSERT_VECTOR p d id1 [1] -h"}) {
        calls.clear();
        LineRun r = run(line);
        EXPECT_EQ(calls.size(), 1u) << line;
        EXPECT_EQ(r.out, syntax_error()) << line;
        EXPECT_EQ(r.result, 1) << line;
    }
}

TEST_F(ShellVectors, BatchInserts) {
    const std::pair<std::string, Call> cases[] = {
        {"INSERT_VECTOR_BATCH p d [a, b] [[1,2],[3,4]]",
         {"insert_vector_batch_dense", {"p", "d", R"(["a","b"])", R"([["1","2"],["3","4"]])", kNoOptions}}},
        {"INSERT_VECTOR_BATCH p d [a, b] [[1:0.5],[2:0.7]]",
         {"insert_vector_batch_sparse",
          {"p", "d", R"(["a","b"])", R"(["{\"1\":\"0.5\"}","{\"2\":\"0.7\"}"])", kNoOptions}}},
        {"INSERT_VECTOR_BATCH p d [a, b] [[1,2],[3,4]] --vector_attributes [[k:x],[k:y]]",
         {"insert_vector_batch_dense",
          {"p", "d", R"(["a","b"])", R"([["1","2"],["3","4"]])",
           nlohmann::json({{"vector_attributes", R"([{"k":"x"},{"k":"y"}])"}}).dump()}}},
        // The outer list of a dense batch may be empty, and its first
        // element may be left out before a comma.
        {"INSERT_VECTOR_BATCH p d [a] []",
         {"insert_vector_batch_dense", {"p", "d", R"(["a"])", "[]", kNoOptions}}},
        {"INSERT_VECTOR_BATCH p d [a] [,[1]]",
         {"insert_vector_batch_dense", {"p", "d", R"(["a"])", R"([["1"]])", kNoOptions}}},
        // An inner [] is an empty index:value list.
        {"INSERT_VECTOR_BATCH p d [a] [[]]",
         {"insert_vector_batch_sparse", {"p", "d", R"(["a"])", R"(["{}"])", kNoOptions}}},
        {"INSERT_VECTOR_BATCH p d [a,b,c] [[3:1,1:2,],[],[9:9]]",
         {"insert_vector_batch_sparse",
          {"p", "d", R"(["a","b","c"])", R"(["{\"1\":\"2\",\"3\":\"1\"}","{}","{\"9\":\"9\"}"])",
           kNoOptions}}},
    };
    for (const auto& [line, call] : cases) {
        calls.clear();
        LineRun r = run(line);
        EXPECT_EQ(calls, Calls{call}) << line;
        EXPECT_EQ(r.out, "") << line;
        EXPECT_EQ(r.result, 0) << line;
    }

    // The batch merge writes the key alone, nothing more.
    LineRun r = run("INSERT_VECTOR_BATCH p d [a] [[1]] --vector_attributes [[k:x]]");
    EXPECT_EQ(r.err, debug_line("vector_attributes"));
    r = run("INSERT_VECTOR_BATCH p d [a] [[1]] --vector_attributes [[k:x]] --vector_attributes [[k:y]]");
    EXPECT_EQ(r.out, error_lines("Repeated argument vector_attributes"));
    EXPECT_EQ(r.err, debug_line("vector_attributes") + debug_line("vector_attributes"));
    EXPECT_EQ(r.result, 1);

    for (const char* line : {"INSERT_VECTOR_BATCH p d [a] [[1,2],[3:4]]",
                             "INSERT_VECTOR_BATCH p d [a] [[3:4],[1,2]]",
                             "INSERT_VECTOR_BATCH p d [a] [[1],]",
                             "INSERT_VECTOR_BATCH p d [a,] [[1]]",
                             "INSERT_VECTOR_BATCH p d [] [[1]]",
                             "INSERT_VECTOR_BATCH p d [a] [1]",
                             "INSERT_VECTOR_BATCH p d [a] [[1]] --vector_attributes []",
                             "INSERT_VECTOR_BATCH p d [a] [[1]] --vector_attributes [k:x]"}) {
        calls.clear();
        r = run(line);
        EXPECT_TRUE(calls.empty()) << line;
        EXPECT_EQ(r.out, syntax_error() + help("INSERT_VECTOR_BATCH")) << line;
    }
}

TEST_F(ShellVectors, DeleteVectorAsksNothing) {
    LineRun r = run("DELETE_VECTOR p d [a,b]");
    EXPECT_EQ(calls, (Calls{{"delete_vector", {"p", "d", R"(["a","b"])"}}}));
    EXPECT_EQ(r.out, "");
    for (const char* line : {"DELETE_VECTOR p d []", "DELETE_VECTOR p d [a,]", "DELETE_VECTOR p d a",
                             "DELETE_VECTOR p d [a:b]"}) {
        calls.clear();
        r = run(line);
        EXPECT_TRUE(calls.empty()) << line;
        EXPECT_EQ(r.out, syntax_error() + help("DELETE_VECTOR")) << line;
    }
}

std::string dense_line(int n) {
    std::string line = "INSERT_VECTOR p d id [";
    for (int i = 0; i < n; ++i) line += (i ? "," : "") + std::to_string(i % 10);
    return line + "]";
}

std::string sparse_line(int n) {
    std::string line = "INSERT_VECTOR p d id [";
    for (int i = 0; i < n; ++i) line += (i ? "," : "") + std::to_string(i) + ":1";
    return line + "]";
}

TEST_F(ShellVectors, RightRecursiveListsStopAtTheStackLimit) {
    LineRun r = run(dense_line(4997));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(calls[0].args[3]).size(), 4997u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.result, 0);

    calls.clear();
    r = run(dense_line(4998));
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(r.out, error_lines("memory exhausted"));
    EXPECT_EQ(r.result, 2);

    calls.clear();
    r = run(sparse_line(2498));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(calls[0].args[3]).size(), 2498u);

    calls.clear();
    r = run(sparse_line(2499));
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(r.out, error_lines("memory exhausted"));
    EXPECT_EQ(r.result, 2);

    // String ids and batch rows are left-recursive: no such limit.
    std::string ids;
    for (int i = 0; i < 30000; ++i) ids += (i ? "," : "") + std::to_string(i);
    calls.clear();
    r = run("DELETE_VECTOR p d [" + ids + "]");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(calls[0].args[2]).size(), 30000u);
}

TEST_F(ShellVectors, ListWordsThatAreNotUtf8) {
    setenv("TARVO_BAD", "\xff\xfe", 1);
    const std::string message = error_lines("List values must be UTF-8 text");
    for (const char* line : {"INSERT_VECTOR p d id [k:$TARVO_BAD]",
                             "INSERT_VECTOR p d id [$TARVO_BAD:1, 2:3]",
                             "INSERT_VECTOR p d id [1] --vector_attributes [k:$TARVO_BAD]",
                             "INSERT_VECTOR_BATCH p d [a] [[1:2],[k:$TARVO_BAD]]",
                             "INSERT_VECTOR_BATCH p d [a] [[1]] --vector_attributes [[k:$TARVO_BAD]]"}) {
        calls.clear();
        LineRun r = run(line);
        EXPECT_TRUE(calls.empty()) << line;
        EXPECT_EQ(r.out, message) << line;
        EXPECT_EQ(r.result, 1) << line;
    }
    // Plain values go to the handler as typed; it checks them itself.
    calls.clear();
    run("INSERT_VECTOR p d $TARVO_BAD [1]");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args[2], "\xff\xfe");
}

}  // namespace
