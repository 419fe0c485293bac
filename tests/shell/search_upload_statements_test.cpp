// SEARCH and UPLOAD: option words and keys, renames, merge lines, the
// upload's checks.
#include "shell_harness.h"

#include <cstdlib>

namespace {

using namespace shell_test;
using Calls = std::vector<Call>;
using nlohmann::json;

class ShellSearch : public ShellTest {};
class ShellUpload : public ShellTest {};

std::string option_lines(const std::map<std::string, std::string>& gathered) {
    std::string out;
    for (const auto& [k, v] : gathered) out += "[Tarvo] search_options: " + k + " = " + v + "\n";
    return out;
}

TEST_F(ShellSearch, OptionsTraceLinesAndCall) {
    LineRun r = run("SEARCH p d i vector --query_vector [0.1, 0.2] --top_k 3");
    const std::string qv = R"(["0.1","0.2"])";
    EXPECT_EQ(calls, (Calls{{"search", {"p", "d", "i", "vector",
                                        json({{"query_vector", qv}, {"top_k", "3"}}).dump()}}}));
    EXPECT_EQ(r.err, debug_line("query_vector") + debug_line("top_k"));
    EXPECT_EQ(r.out, option_lines({{"query_vector", qv}}) +
                         option_lines({{"query_vector", qv}, {"top_k", "3"}}));
    EXPECT_EQ(r.result, 0);
}

TEST_F(ShellSearch, EveryOptionWordAndItsKey) {
    const std::tuple<std::string, std::string, std::string> options[] = {
        {"--top_k 5", "top_k", "5"},
        {"--top_k=5", "top_k", "5"},
        {"-TOP_K 5", "top_k", "5"},
        {"--filter_attribute color", "filter_attribute", "color"},
        {"--filter_type equality", "filter_type", "equality"},
        {"--target_values [red, blue]", "target_value", R"(["red","blue"])"},
        {"--target_values [red,]", "target_value", R"(["red"])"},
        {"--target_values []", "target_value", "[]"},
        {"--start_value a", "start_value", "a"},
        {"--end_value z", "end_value", "z"},
        {"--query_vector [1,2,]", "query_vector", R"(["1","2"])"},
        {"--query_vector []", "query_vector", "[]"},
        {"--row_number 12", "row_number", "12"},
        {"--file_path /tmp/q.csv", "file_path", "/tmp/q.csv"},
        {"--file_type csv", "file_type", "csv"},
        {"--query_dataset_name other", "dataset_name", "other"},
        // The generic option text: its key is the text without the dashes.
        {"-[a-zA-Z0-9_]+ v", "[a-zA-Z0-9_]+", "v"},
        {"--[a-zA-Z0-9_]+ v", "[a-zA-Z0-9_]+", "v"},
    };
    for (const auto& [words, key, value] : options) {
        calls.clear();
        LineRun r = run("SEARCH p d i q " + words);
        EXPECT_EQ(calls, (Calls{{"search", {"p", "d", "i", "q", json({{key, value}}).dump()}}}))
            << words;
        EXPECT_EQ(r.err, debug_line(key)) << words;
        EXPECT_EQ(r.out, option_lines({{key, value}})) << words;
        EXPECT_EQ(r.result, 0) << words;
    }
}

TEST_F(ShellSearch, RepeatedOptionsAreReportedUnderTheirKey) {
    const std::tuple<std::string, std::string> cases[] = {
        {"--top_k 3 --top_k 4", "top_k"},
        {"--top_k 3 -TOP_K 3", "top_k"},
        {"--target_values [a] --target_values [b]", "target_value"},
        {"--query_dataset_name x --query_dataset_name y", "dataset_name"},
    };
    for (const auto& [words, key] : cases) {
        calls.clear();
        LineRun r = run("SEARCH p d i vector " + words);
        EXPECT_TRUE(calls.empty()) << words;
        EXPECT_EQ(r.err, debug_line(key) + debug_line(key)) << words;
        EXPECT_EQ(r.out.substr(r.out.size() - error_lines("Repeated argument " + key).size()),
                  error_lines("Repeated argument " + key))
            << words;
        EXPECT_EQ(r.result, 1) << words;
    }
}

TEST_F(ShellSearch, WhatEndsTheOptionList) {
    // An UPLOAD option, a plain word or an unknown option ends the list: the
    // search runs with what came before, then the rest is a syntax error.
    for (const char* rest : {"--dataset_name x", "extra", "--foo 1", "-h", "--vector_attributes [a:b]"}) {
        calls.clear();
        LineRun r = run(std::string("SEARCH p d i vector --top_k 2 ") + rest);
        EXPECT_EQ(calls, (Calls{{"search", {"p", "d", "i", "vector", R"({"top_k":"2"})"}}})) << rest;
        EXPECT_EQ(r.out, option_lines({{"top_k", "2"}}) + syntax_error()) << rest;
        EXPECT_EQ(r.result, 1) << rest;
    }
    calls.clear();
    LineRun r = run("SEARCH p d i vector --dataset_name x");
    EXPECT_EQ(calls, (Calls{{"search", {"p", "d", "i", "vector", "{}"}}}));
    EXPECT_EQ(r.out, syntax_error());

    for (const char* line : {"SEARCH p d i", "SEARCH p d i vector --top_k",
                             "SEARCH p d i vector --query_vector [1 2]",
                             "SEARCH p d i vector --query_vector 1",
                             "SEARCH p d i vector --top_k [1]"}) {
        calls.clear();
        r = run(line);
        EXPECT_TRUE(calls.empty()) << line;
        EXPECT_EQ(r.out.substr(r.out.find("\033[31m")), syntax_error() + help("SEARCH")) << line;
    }
}

TEST_F(ShellSearch, ListWordsThatAreNotUtf8) {
    setenv("TARVO_BAD", "\xc3", 1);
    LineRun r = run("SEARCH p d i vector --query_vector [1, $TARVO_BAD]");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(r.out, error_lines("List values must be UTF-8 text"));
    r = run("SEARCH p d i vector --target_values [$TARVO_BAD]");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(r.result, 1);
}

TEST_F(ShellUpload, OptionsTraceLinesAndCall) {
    LineRun r = run("UPLOAD p data.csv --file_format csv --has_field_names YES");
    EXPECT_EQ(calls, (Calls{{"upload", {"p", "data.csv",
                                        R"({"file_format":"csv","has_field_names":"true"})"}}}));
    EXPECT_EQ(r.err, debug_line("file_format") + debug_line("has_field_names") +
                         debug_line("[UPLOAD] File: data.csv") +
                         debug_line("[ARG] file_format = csv") +
                         debug_line("[ARG] has_field_names = true"));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.result, 0);
}

TEST_F(ShellUpload, EveryOptionWordAndItsKey) {
    const std::tuple<std::string, std::string, std::string> options[] = {
        {"--binary_dim 12", "binary_dim", "12"},
        {"--binary_dtype uint8", "binary_dtype", "uint8"},
        {"--dataset_name d", "collection_name", "d"},
        {"--vector_type dense", "vector_type", "dense"},
        {"--attributes [a, b]", "attributes", R"(["a","b"])"},
        {"--attributes []", "attributes", "[]"},
        {"--vector_id_field_name id", "vector_id_field_name", "id"},
        {"--vector_data_field_name vec", "vector_data_field_name", "vec"},
        {"--string_ids_file_path ids.txt", "string_ids_file_path", "ids.txt"},
        {"-[a-zA-Z0-9_]+ v", "[a-zA-Z0-9_]+", "v"},
    };
    for (const auto& [words, key, value] : options) {
        calls.clear();
        LineRun r = run("UPLOAD p f.bin --file_format binary " + words);
        std::map<std::string, std::string> want{{"file_format", "binary"}, {key, value}};
        EXPECT_EQ(calls, (Calls{{"upload", {"p", "f.bin", json(want).dump()}}})) << words;
        std::string err = debug_line("file_format") + debug_line(key) + debug_line("[UPLOAD] File: f.bin");
        for (const auto& [k, v] : want) err += debug_line("[ARG] " + k + " = " + v);
        EXPECT_EQ(r.err, err) << words;
    }
    const std::pair<const char*, const char*> truth[] = {
        {"true", "true"}, {"TRUE", "true"}, {"1", "true"}, {"Yes", "true"},
        {"false", "false"}, {"0", "false"}, {"NO", "false"}, {"fAlSe", "false"}};
    for (const auto& [word, value] : truth) {
        calls.clear();
        run(std::string("UPLOAD p f.json --file_format json --has_field_names ") + word);
        ASSERT_EQ(calls.size(), 1u) << word;
        EXPECT_EQ(json::parse(calls[0].args[2])["has_field_names"], value) << word;
    }
}

TEST_F(ShellUpload, ChecksBeforeTheHandler) {
    const std::string missing_format =
        error_lines("Missing required argument: --file_format") + help("UPLOAD");
    const std::string missing_names =
        error_lines("Missing required argument: --has_field_names (required for csv/json)") +
        help("UPLOAD");
    const std::string bad_dim = error_lines("binary_dim must be an integer") + help("UPLOAD");
    setenv("TARVO_SPACED_DIM", " \t12", 1);
    const std::pair<std::string, std::string> cases[] = {
        {"UPLOAD p f", missing_format},
        {"UPLOAD p f --binary_dim x --dataset_name d", missing_format},
        {"UPLOAD p f --file_format csv", missing_names},
        {"UPLOAD p f --file_format json --binary_dim x", missing_names},
        {"UPLOAD p f --file_format binary --binary_dim x12", bad_dim},
        {"UPLOAD p f --file_format binary --binary_dim 2147483648", bad_dim},
        {"UPLOAD p f --file_format binary --binary_dim -2147483649", bad_dim},
        {"UPLOAD p f --file_format binary --binary_dim -", bad_dim},
        {"UPLOAD p f --file_format binary --binary_dim .5", bad_dim},
        {"UPLOAD p f --file_format binary --binary_dim 99999999999999999999999", bad_dim},
    };
    for (const auto& [line, out] : cases) {
        calls.clear();
        LineRun r = run(line);
        EXPECT_TRUE(calls.empty()) << line;
        EXPECT_EQ(r.out, out) << line;
        EXPECT_EQ(r.result, 1) << line;
    }
    // What passes: other cases of csv, digits followed by text, signs, the
    // 32-bit bounds, leading white space from a variable.
    for (const char* line : {"UPLOAD p f --file_format CSV", "UPLOAD p f --file_format libsvm",
                             "UPLOAD p f --file_format binary --binary_dim 12abc",
                             "UPLOAD p f --file_format binary --binary_dim +7",
                             "UPLOAD p f --file_format binary --binary_dim -2147483648",
                             "UPLOAD p f --file_format binary --binary_dim 2147483647",
                             "UPLOAD p f --file_format binary --binary_dim $TARVO_SPACED_DIM"}) {
        calls.clear();
        LineRun r = run(line);
        EXPECT_EQ(calls.size(), 1u) << line;
        EXPECT_EQ(r.out, "") << line;
    }
    calls.clear();
    run("UPLOAD p f --file_format binary --binary_dim 12abc");
    EXPECT_EQ(json::parse(calls.at(0).args[2])["binary_dim"], "12abc");
}

TEST_F(ShellUpload, HasFieldNamesIsCheckedWhenRead) {
    LineRun r = run("UPLOAD p f --dataset_name d --file_format json --has_field_names MayBe --x y");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(r.out, error_lines("Invalid value for HAS_FIELD_NAMES: maybe"));
    EXPECT_EQ(r.err, debug_line("collection_name") + debug_line("file_format"));
    EXPECT_EQ(r.result, 1);

    r = run("UPLOAD p f --file_format json --has_field_names 1 --has_field_names 0");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(r.out, error_lines("Repeated argument has_field_names"));
}

TEST_F(ShellUpload, WhatEndsTheOptionList) {
    LineRun r = run("UPLOAD p f --file_format binary --top_k 3");
    EXPECT_EQ(calls, (Calls{{"upload", {"p", "f", R"({"file_format":"binary"})"}}}));
    EXPECT_EQ(r.out, syntax_error());
    EXPECT_EQ(r.result, 1);

    calls.clear();
    r = run("UPLOAD p f --top_k 3");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(r.out, error_lines("Missing required argument: --file_format") + help("UPLOAD"));

    for (const char* line : {"UPLOAD p", "UPLOAD p f --file_format", "UPLOAD p f --attributes a",
                             "UPLOAD p f --attributes [a b]"}) {
        calls.clear();
        r = run(line);
        EXPECT_TRUE(calls.empty()) << line;
        EXPECT_EQ(r.out, syntax_error() + help("UPLOAD")) << line;
    }
}

}  // namespace
