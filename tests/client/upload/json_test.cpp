// JSON data files read in two streaming passes: the first pass accepts and
// refuses exactly what a document parse does (same exception text), the
// second hands out the elements the parsed document would hold, across read
// buffers; whole uploads of a big array, of a piped file and of one nested
// too deeply.
#include "client/upload/json_reader.h"

#include "support/process.h"
#include "upload_testing.h"

using namespace upload_testing;
using rest_client::OptionMap;
using rest_client::upload::check_json_value;
using rest_client::upload::JsonArrayElements;
using rest_client::upload::kMaxDataDepth;

namespace {

const OptionMap kJson{{"file_format", "json"}, {"has_field_names", "false"},
                      {"collection_name", "d"}, {"vector_type", "dense"}};

// The compact elements of the text's first value, through the two passes.
std::vector<std::string> streamed_elements(const std::string& text) {
    std::istringstream in(text);
    EXPECT_TRUE(check_json_value(in));
    std::istringstream again(text);
    JsonArrayElements elements(again);
    std::vector<std::string> out;
    std::string element;
    while (elements.next(element)) out.push_back(json::parse(element).dump());
    EXPECT_FALSE(elements.next(element));
    return out;
}

std::vector<std::string> document_elements(const std::string& text) {
    std::istringstream in(text);
    json value;
    in >> value;
    std::vector<std::string> out;
    for (const auto& e : value) out.push_back(e.dump());
    return out;
}

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace

TEST(JsonElements, ElementsAreThoseOfTheParsedDocument) {
    const size_t block = 1 << 20;  // the second pass reads this much at a time
    std::vector<std::string> texts = {
        "[]",
        " \r\n\t[ \n ] trailing",
        "[1]",
        "[ 1 , \"a\" ,true,false , null ]",
        "[[],{},[[]],{\"a\":{}}]",
        R"([{"z":1,"a":[1,2,{"k":"v"}]},"x"])",
        R"(["]",  "}", ",", "[{", "\"", "a\\", "\\\"", "\u00e9\ud83d\ude00", "tab\there"])",
        R"([{"a":1,"a":2}, {"b":[1,{"c":"]"}]}])",
        "[-0, 0.5, 1e5, 1E+2, -1.25e-3, 12345678901234567890, -9223372036854775808, 3.0]",
        "\xEF\xBB\xBF[1, \"bom\"]",
        "[1] [2]",
        "[\"a\"]xyz",
        "[ \"\xe4\xb8\xad\xe6\x96\x87\" ]",
    };
    // Escapes, quotes and brackets straddling the read buffer's end.
    for (int shift = -3; shift <= 3; ++shift) {
        const size_t fill = block - 3 + static_cast<size_t>(shift + 3) - 3;
        texts.push_back("[\"" + std::string(fill, 'a') + "\\\"]\\\\\",[1,{\"k\":\"]\"}],\"end\"]");
        texts.push_back("[" + std::string(fill, ' ') + "{\"a\":[1,2]} , [3]]");
    }
    for (const auto& text : texts) {
        SCOPED_TRACE(text.substr(0, 60));
        ASSERT_EQ(document_error(text), "");
        EXPECT_EQ(streamed_elements(text), document_elements(text));
    }
}

TEST(JsonElements, FirstPassThrowsWhatTheDocumentParseThrows) {
    const std::vector<std::string> bad = {
        "", "   ", "[1, 2", "[1,]", "[1 2]", "[,1]", "{\"a\":}", "[tru]", "[01]", "[1e500]",
        "[\"\\ud800\"]", "[\"\xff\"]", "[\"a\nb\"]", "\xEF\xBB[1]", "[\"unterminated]", "]",
        "[" + nested(50),
    };
    for (const auto& text : bad) {
        SCOPED_TRACE(text);
        const std::string want = document_error(text);
        ASSERT_NE(want, "");
        std::istringstream in(text);
        try {
            check_json_value(in);
            ADD_FAILURE() << "accepted";
        } catch (const std::exception& e) {
            EXPECT_EQ(e.what(), want);
        }
    }
    // Values that are not arrays pass the first pass and say so.
    for (const std::string text : {"{}", "{\"a\":[1]}", "42", "\"s\"", "null", " true [1]"}) {
        std::istringstream in(text);
        EXPECT_FALSE(check_json_value(in)) << text;
    }
}

TEST(JsonElements, NestingBeyondTheLimitIsRefused) {
    const std::string deepest = "[" + nested(kMaxDataDepth - 1) + "]";
    EXPECT_EQ(streamed_elements(deepest), document_elements(deepest));
    std::istringstream in("[" + nested(kMaxDataDepth) + "]");
    EXPECT_THROW(check_json_value(in), std::runtime_error);
}

class UploadJson : public UploadTest {
protected:
    Scratch files;
};

TEST_F(UploadJson, BigArrayAcrossReadBuffersAndShards) {
    // About 3 MB, with elements that hold brackets, commas and escapes in
    // strings, written spaced out.
    json array = json::array();
    for (int i = 0; i < 6000; ++i)
        array.push_back({{"id", i},
                         {"text", std::string(static_cast<size_t>(i % 300), 'x') + "],\"}{\\" + std::to_string(i)},
                         {"vector", {i * 0.25, -i, 1e-9 * i}},
                         {"tags", json::array({"a", json::object({{"z", nullptr}, {"b", i % 3 == 0}})})}});
    const std::string path = files.write("big.json", array.dump(1, '\t') + "\n");
    std::vector<std::string> records;
    for (const auto& e : array) records.push_back(e.dump());
    ShardModel model;
    model.json_array = true;
    model.always_last = true;
    SHARD_SIZE = 262144;
    StdinFeed in("");
    Outcome o = upload(path, kJson);
    EXPECT_TRUE(o.result) << o.out;
    expect_shards(shards(), model_shards(records, model, 262144).shards);
    EXPECT_GE(shards().size(), 5u);
    expect_no_problems();
}

TEST_F(UploadJson, TooDeeplyNestedFileSendsNothing) {
    const std::string path = files.write("deep.json", "[1, " + nested(200000) + "]");
    Outcome o = upload(path, kJson);
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.err, info("Uploading with file_path: " + path + "..."));
    EXPECT_EQ(o.out, red("Error in upload: JSON value nested deeper than 10000 levels"));
    EXPECT_TRUE(service->requests("/api/upload").empty());
}

TEST_F(UploadJson, FileThatCanBeReadOnlyOnceUploadsAsAFileDoes) {
    // Standard input given as the data file: a pipe, read once.
    json array = json::array({{{"b", 1}, {"a", "x"}}, json::array({1, 2}), "s", 3.5});
    test_support::RunOptions run;
    run.args = {"UPLOAD", "p", "/dev/stdin", "--file_format", "json", "--has_field_names", "false",
                "--dataset_name", "d", "--vector_type", "dense"};
    run.input = array.dump(2) + " trailing";
    test_support::RunResult r = test_support::run_tarvo(*service, run);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const auto sent = shards();
    ASSERT_EQ(sent.size(), 1u) << r.out << r.err;
    EXPECT_EQ(sent[0].file_data, array.dump());
    expect_no_problems();
}
