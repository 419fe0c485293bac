// Upload arguments: every check that stops an upload before anything is read
// or sent, the request keys each format sends, options left over, and the
// questions for CSV files without field names answered on standard input.
#include "upload_testing.h"

using namespace upload_testing;
using rest_client::OptionMap;

namespace {

class UploadArguments : public UploadTest {
protected:
    void SetUp() override {
        UploadTest::SetUp();
        csv = files.write("data.csv", "a,b,,c,\n1,2,3,4\n");
        bin = files.write("data.bin", std::string(16, '\x01'));
    }
    Scratch files;
    std::string csv, bin;
};

OptionMap with(OptionMap base, const OptionMap& more) {
    for (const auto& [k, v] : more) base[k] = v;
    return base;
}

const OptionMap kCsv{{"file_format", "csv"}, {"has_field_names", "true"},
                     {"collection_name", "d"}, {"vector_type", "dense"}};
const OptionMap kCsvNoNames{{"file_format", "csv"}, {"has_field_names", "false"},
                            {"collection_name", "d"}, {"vector_type", "dense"}};
const OptionMap kBinary{{"file_format", "binary"}, {"collection_name", "d"},
                        {"binary_dim", "4"}, {"binary_dtype", "uint8"}};

std::string library_error(const std::string& attributes) {
    try {
        (void)json::parse(attributes).get<std::vector<std::string>>();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

const std::string kQuestionId = "Do you want to insert a vector_id_field_name? (y/n)\n";
const std::string kQuestionAttributes = "Do you want to insert attributes? (y/n)\n";
const std::string kAgain = "Please answer (y/n)\n";
std::string column_prompt(int n) {
    return "Please input a number between 1 and " + std::to_string(n) +
           ", denoting the column number (1-based) of the column you want as your "
           "vector_id_field_name\n";
}
std::string columns_prompt(int n) {
    return "Please input number(s) between 1 and " + std::to_string(n) +
           " in a line separated by a space, denoting the column number (1-based) of the "
           "column(s) you want as your vector_attribute(s)\n";
}
const std::string kNoAnswer = "Error in upload: Standard input ended before the question was answered";

}  // namespace

TEST_F(UploadArguments, EveryCheckStopsBeforeAnythingIsReadOrSent) {
    struct Case {
        const char* name;
        std::string path;
        OptionMap options;
        std::string warnings;  // lines printed before the error
        std::string error;     // after "Error in upload: "
    };
    const std::string missing = files.path("missing.csv");
    const std::string directory = files.path("");
    const std::vector<Case> cases = {
        {"missing file", missing, kCsv, "", "Could not open file " + missing},
        {"directory", directory, kCsv, "", "Could not open file " + directory},
        {"no format", csv, {{"collection_name", "d"}}, "", "File format argument required!"},
        {"format in capitals", csv, with(kCsv, {{"file_format", "CSV"}}), "",
         "File format must be one of \"csv\", \"json\", \"libsvm\", \"binary\""},
        {"unknown format", csv, with(kCsv, {{"file_format", "parquet"}}), "",
         "File format must be one of \"csv\", \"json\", \"libsvm\", \"binary\""},
        {"no dataset", csv, {{"file_format", "csv"}, {"has_field_names", "true"}, {"vector_type", "dense"}},
         "",
         "Argument dataset_name is required for UPLOAD. This is the data collection the vectors will "
         "be added to."},
        {"csv without vector type", csv, {{"file_format", "csv"}, {"collection_name", "d"}}, "",
         "Argument vector_type required for csv file format"},
        {"json without vector type nor data field", csv,
         {{"file_format", "json"}, {"has_field_names", "true"}, {"collection_name", "d"}}, "",
         "Argument vector_type required for json file format"},
        {"json without data field", csv,
         {{"file_format", "json"}, {"has_field_names", "true"}, {"collection_name", "d"},
          {"vector_type", "dense"}},
         "", "Missing vector_data_field_name argument"},
        {"attributes not JSON", csv, with(kCsv, {{"attributes", "[\"a\","}}), "",
         library_error("[\"a\",")},
        {"attributes not strings", csv, with(kCsv, {{"attributes", "[1,2]"}}), "", library_error("[1,2]")},
        {"attributes an object", csv, with(kCsv, {{"attributes", "{\"a\":\"b\"}"}}), "",
         library_error("{\"a\":\"b\"}")},
        {"binary without dim", bin, {{"file_format", "binary"}, {"collection_name", "d"}}, "",
         "Missing binary_dim argument"},
        {"binary dim not a number", bin, with(kBinary, {{"binary_dim", "x12"}}), "",
         "argument -binary_dim should be an integer"},
        {"binary dim beyond 32 bits", bin, with(kBinary, {{"binary_dim", "99999999999"}}), "",
         "argument -binary_dim should be an integer"},
        {"binary dim empty", bin, with(kBinary, {{"binary_dim", ""}}), "",
         "argument -binary_dim should be an integer"},
        {"binary without dtype, after the type warning", bin,
         {{"file_format", "binary"}, {"collection_name", "d"}, {"binary_dim", "4"}, {"vector_type", "x"}},
         yellow("Vector type parameter ignored, only dense vector supported for binary"),
         "Missing binary_dtype argument"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->clear_log();
        Outcome o = upload(c.path, c.options);
        EXPECT_FALSE(o.result);
        EXPECT_EQ(o.err, info("Uploading with file_path: " + c.path + "..."));
        EXPECT_EQ(o.out, c.warnings + red("Error in upload: " + c.error));
        EXPECT_TRUE(service->requests().empty());
    }
}

TEST_F(UploadArguments, RequestKeysByFormat) {
    std::string svm = files.write("data.svm", "1 1:0.5\n");
    std::string js = files.write("data.json", "[{\"v\":[1]}]");
    struct Case {
        const char* name;
        std::string path;
        OptionMap options;
        std::string warnings;
        json keys;  // besides user_api_key, compression_type and project_name
    };
    const std::vector<Case> cases = {
        {"csv with field names", csv,
         with(kCsv, {{"vector_id_field_name", "id"}, {"attributes", "[\"a\",\"b\"]"}}), "",
         {{"dataset_name", "d"}, {"file_format", "csv"}, {"has_field_names", true},
          {"vector_type", "dense"}, {"vector_id_field_name", "id"}, {"vector_attributes", {"a", "b"}}}},
        {"csv, has_field_names 0 is not false", csv, with(kCsv, {{"has_field_names", "0"}}), "",
         {{"dataset_name", "d"}, {"file_format", "csv"}, {"has_field_names", true}, {"vector_type", "dense"}}},
        {"csv, has_field_names absent means true", csv,
         {{"file_format", "csv"}, {"collection_name", "d"}, {"vector_type", "any text"}}, "",
         {{"dataset_name", "d"}, {"file_format", "csv"}, {"has_field_names", true},
          {"vector_type", "any text"}}},
        {"json with field names, empty attributes", js,
         {{"file_format", "json"}, {"has_field_names", "true"}, {"collection_name", "d"},
          {"vector_type", "dense"}, {"vector_data_field_name", "v"}, {"attributes", "[]"}},
         "",
         {{"dataset_name", "d"}, {"file_format", "json"}, {"has_field_names", true},
          {"vector_type", "dense"}, {"vector_data_field_name", "v"}, {"vector_attributes", json::array()}}},
        {"json without field names drops id and attributes", js,
         {{"file_format", "json"}, {"has_field_names", "false"}, {"collection_name", "d"},
          {"vector_type", "sparse"}, {"vector_id_field_name", "id"}, {"attributes", "[\"a\"]"}},
         yellow("Argument vector_id_field_name discarded") + yellow("Argument attributes discarded"),
         {{"dataset_name", "d"}, {"file_format", "json"}, {"has_field_names", false}, {"vector_type", "sparse"}}},
        {"libsvm forces sparse, warning even for sparse", svm,
         {{"file_format", "libsvm"}, {"has_field_names", "False"}, {"collection_name", "d"},
          {"vector_type", "sparse"}, {"attributes", "[\"a\"]"}},
         yellow("Vector type parameter ignored, only sparse vector supported for libsvm") +
             yellow("Argument attributes discarded"),
         {{"dataset_name", "d"}, {"file_format", "libsvm"}, {"has_field_names", true}, {"vector_type", "sparse"}}},
        {"libsvm without vector type", svm,
         {{"file_format", "libsvm"}, {"has_field_names", "false"}, {"collection_name", "d"}}, "",
         {{"dataset_name", "d"}, {"file_format", "libsvm"}, {"has_field_names", false}, {"vector_type", "sparse"}}},
        {"binary forces dense, dim digits then letters", bin,
         with(kBinary, {{"vector_type", "sparse"}, {"binary_dim", " 4abc"}, {"binary_dtype", "float32"}}),
         yellow("Vector type parameter ignored, only dense vector supported for binary"),
         {{"dataset_name", "d"}, {"file_format", "binary"}, {"has_field_names", true},
          {"vector_type", "dense"}, {"binary_dim", 4}, {"binary_dtype", "float32"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->clear_log();
        Outcome o = upload(c.path, c.options);
        EXPECT_TRUE(o.result) << o.out;
        EXPECT_EQ(o.out.substr(0, c.warnings.size()), c.warnings);
        ASSERT_EQ(shards().size(), 1u);
        json want = c.keys;
        want["user_api_key"] = "test-key";
        want["compression_type"] = "gzip";
        want["project_name"] = "proj";
        EXPECT_EQ(shard_keys(), want);
        expect_no_problems();
    }
}

TEST_F(UploadArguments, LeftOverOptionsAreReportedAndNothingIsSent) {
    struct Case {
        const char* name;
        OptionMap options;
        std::string path;
        std::vector<std::string> keys;
    };
    const std::vector<Case> cases = {
        {"binary keeps vector_id_field_name", with(kBinary, {{"vector_id_field_name", "id"}}), bin,
         {"vector_id_field_name"}},
        {"binary keeps attributes", with(kBinary, {{"attributes", "[]"}}), bin, {"attributes"}},
        {"csv given binary_dim", with(kCsv, {{"binary_dim", "3"}}), csv, {"binary_dim"}},
        {"csv given vector_data_field_name", with(kCsv, {{"vector_data_field_name", "v"}}), csv,
         {"vector_data_field_name"}},
        {"json without field names given vector_data_field_name",
         {{"file_format", "json"}, {"has_field_names", "false"}, {"collection_name", "d"},
          {"vector_type", "dense"}, {"vector_data_field_name", "v"}},
         csv,
         {"vector_data_field_name"}},
        {"two unknown options", with(kCsv, {{"top_k", "3"}, {"colour", "red"}}), csv, {"top_k", "colour"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->clear_log();
        Outcome o = upload(c.path, c.options);
        EXPECT_FALSE(o.result);
        // The map's order decides the order of the lines.
        std::string a = red("Invalid argument " + c.keys[0]);
        if (c.keys.size() == 1) {
            EXPECT_EQ(o.out, a);
        } else {
            std::string b = red("Invalid argument " + c.keys[1]);
            EXPECT_TRUE(o.out == a + b || o.out == b + a) << o.out;
        }
        EXPECT_EQ(o.err, info("Uploading with file_path: " + c.path + "..."));
        EXPECT_TRUE(service->requests().empty());
    }
}

TEST_F(UploadArguments, QuestionsAnsweredNoAndNoSendNeitherKey) {
    StdinFeed in("n\nn\nleft\n");
    Outcome o = upload(csv, kCsvNoNames);
    EXPECT_TRUE(o.result);
    EXPECT_EQ(o.out.substr(0, kQuestionId.size() + kQuestionAttributes.size()), kQuestionId + kQuestionAttributes);
    json keys = shard_keys();
    EXPECT_FALSE(keys.contains("vector_id_field_name"));
    EXPECT_FALSE(keys.contains("vector_attributes"));
    EXPECT_EQ(keys["has_field_names"], false);
    EXPECT_EQ(in.rest(), "left\n");
    // Without field names the first line is data like any other.
    EXPECT_EQ(shards().at(0).file_data, "a,b,,c,\n1,2,3,4\n");
}

TEST_F(UploadArguments, AnswersAreReadAsTyped) {
    struct Case {
        const char* name;
        std::string input;
        std::string questions;  // standard output before the upload's own lines
        json id;                // null: not sent
        json attributes;        // null: not sent
        std::string rest;       // standard input left unread
    };
    const std::vector<Case> cases = {
        {"wrong y/n answers ask again", "Y\nyes\n y\ny\r\nn\nn\n",
         kQuestionId + kAgain + kAgain + kAgain + kAgain + kQuestionAttributes, nullptr, nullptr, ""},
        {"number after blank lines, leading zeros, rest of line dropped", "y\n\n  \n007 rest\ny\n3 5 word 7\nx\n",
         kQuestionId + column_prompt(4) + kQuestionAttributes + columns_prompt(4), "7", json{"3", "5"},
         "x\n"},
        {"the next question waits for a fresh line", "y\n3 4\ny\n1,2\n",
         kQuestionId + column_prompt(4) + kQuestionAttributes + columns_prompt(4), "3", json{"1"}, ""},
        {"empty attribute line gives an empty list", "n\ny\n\n",
         kQuestionId + kQuestionAttributes + columns_prompt(4), nullptr, json::array(), ""},
        {"attribute line starting with a word", "n\ny\nfirst 2\n",
         kQuestionId + kQuestionAttributes + columns_prompt(4), nullptr, json::array(), ""},
        {"column answer not a number asks again", "y\nabc\n-2\n12\nn\n",
         kQuestionId + column_prompt(4) + column_prompt(4) + column_prompt(4) + kQuestionAttributes, "12",
         nullptr, ""},
        {"numbers beyond the column count are kept", "y\n99\ny\n0 18446744073709551615 18446744073709551616\n",
         kQuestionId + column_prompt(4) + kQuestionAttributes + columns_prompt(4), "99",
         json{"0", "18446744073709551615"}, ""},
        {"last answer without a newline", "n\ny\n2 3",
         kQuestionId + kQuestionAttributes + columns_prompt(4), nullptr, json{"2", "3"}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->clear_log();
        StdinFeed in(c.input);
        Outcome o = upload(csv, kCsvNoNames);
        EXPECT_TRUE(o.result);
        EXPECT_EQ(o.out.substr(0, c.questions.size()), c.questions);
        EXPECT_EQ(o.out.find("(y/n)", c.questions.size()), std::string::npos);
        ASSERT_EQ(shards().size(), 1u);
        json keys = shard_keys();
        if (c.id.is_null())
            EXPECT_FALSE(keys.contains("vector_id_field_name"));
        else
            EXPECT_EQ(keys["vector_id_field_name"], c.id);
        if (c.attributes.is_null())
            EXPECT_FALSE(keys.contains("vector_attributes"));
        else
            EXPECT_EQ(keys["vector_attributes"], c.attributes);
        EXPECT_EQ(in.rest(), c.rest);
    }
}

TEST_F(UploadArguments, EndOfInputDuringTheQuestionsStopsAndSendsNothing) {
    struct Case {
        const char* name;
        std::string input;
        std::string questions;
    };
    const std::vector<Case> cases = {
        {"at the first question", "", kQuestionId},
        {"after a wrong answer", "n\nmaybe", kQuestionId + kQuestionAttributes + kAgain},
        {"at the column number", "y\n", kQuestionId + column_prompt(4)},
        {"after blank lines at the column number", "y\n \n\n", kQuestionId + column_prompt(4)},
        {"at the attribute numbers", "n\ny\n", kQuestionId + kQuestionAttributes + columns_prompt(4)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->clear_log();
        StdinFeed in(c.input);
        Outcome o = upload(csv, with(kCsvNoNames, {{"unknown", "x"}}));
        EXPECT_FALSE(o.result);
        EXPECT_EQ(o.out, c.questions + red(kNoAnswer));
        EXPECT_TRUE(service->requests().empty());
    }
}

TEST_F(UploadArguments, ColumnCountOfTheFirstLineInThePrompts) {
    const std::pair<std::string, int> cases[] = {
        {"", 0}, {"\n", 0}, {"one\n", 1}, {"a,b,c\n", 3}, {"a,,b\n", 3}, {",a\n", 2},
        {"a,\n", 1}, {",\n", 1}, {"a,b\r\n", 2}, {"a,b,c", 3}, {"x,y\n1,2,3,4,5\n", 2},
    };
    for (const auto& [text, count] : cases) {
        SCOPED_TRACE(text);
        std::string path = files.write("count.csv", text);
        StdinFeed in("y\n1\ny\n1\n");
        Outcome o = upload(path, kCsvNoNames);
        EXPECT_NE(o.out.find(column_prompt(count)), std::string::npos) << o.out;
        EXPECT_NE(o.out.find(columns_prompt(count)), std::string::npos);
    }
}

TEST_F(UploadArguments, LeftOverOptionIsReportedOnlyAfterTheQuestions) {
    StdinFeed in("y\n2\nn\n");
    Outcome o = upload(csv, with(kCsvNoNames, {{"vector_data_field_name", "v"}, {"attributes", "[]"}}));
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.out, yellow("Argument attributes discarded") + kQuestionId + column_prompt(4) +
                         kQuestionAttributes + red("Invalid argument vector_data_field_name"));
    EXPECT_TRUE(service->requests().empty());
}

TEST_F(UploadArguments, TheFileAskedAboutIsTheFileSentWhateverHappensToItsPath) {
    const std::string other = files.write("other.csv", "secret,1\nsecret,2\n");
    StdinFeed in("n\nn\n");
    // While the client waits at its first question, the path is renamed over.
    bool swapped = false;
    rest_client::seams().read_line = [&]() -> std::optional<std::string> {
        if (!swapped) swapped = std::rename(other.c_str(), csv.c_str()) == 0;
        std::string line;
        if (!std::getline(std::cin, line)) return std::nullopt;
        return line;
    };
    Outcome o = upload(csv, kCsvNoNames);
    ASSERT_TRUE(swapped);
    EXPECT_TRUE(o.result) << o.out;
    EXPECT_EQ(shard_data(), std::vector<std::string>{"a,b,,c,\n1,2,3,4\n"});
}
