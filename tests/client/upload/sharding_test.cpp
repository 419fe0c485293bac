// Upload reading and sharding: what each shard holds, compared byte for byte
// with a plain model, for every format at several SHARD_SIZE values, with
// string ids shorter, equal and longer than the data, CRLF lines, empty files
// and every failure of the reading stage.
#include "upload_testing.h"

using namespace upload_testing;
using rest_client::OptionMap;

namespace {

const OptionMap kCsvNames{{"file_format", "csv"}, {"has_field_names", "true"},
                          {"collection_name", "d"}, {"vector_type", "dense"}};
const OptionMap kCsvPlain{{"file_format", "csv"}, {"has_field_names", "false"},
                          {"collection_name", "d"}, {"vector_type", "dense"}};
const OptionMap kLibsvm{{"file_format", "libsvm"}, {"collection_name", "d"}};
const OptionMap kJson{{"file_format", "json"}, {"has_field_names", "false"},
                      {"collection_name", "d"}, {"vector_type", "dense"}};
OptionMap binary(int dim, const std::string& dtype) {
    return {{"file_format", "binary"}, {"collection_name", "d"},
            {"binary_dim", std::to_string(dim)}, {"binary_dtype", dtype}};
}
OptionMap with_ids(OptionMap options, const std::string& path) {
    options["string_ids_file_path"] = path;
    return options;
}

const std::string kRanOut = "libsvm and string ids file have different number of lines, using default string_ids";
const std::string kEmptyIdLine = "Warning: empty string id line found.";

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class UploadSharding : public UploadTest {
protected:
    // Uploads and compares the shards with the model; returns the outcome.
    Outcome check(const std::string& path, const OptionMap& options, const std::vector<std::string>& records,
                  const ShardModel& model, int32_t shard_size, const std::string& input = "") {
        SHARD_SIZE = shard_size;
        service->clear_log();
        StdinFeed in(input);
        Outcome o = upload(path, options);
        EXPECT_TRUE(o.result) << o.out;
        ModelResult want = model_shards(records, model, shard_size);
        expect_shards(shards(), want.shards);
        EXPECT_EQ(count(o.out, kRanOut), want.ran_out ? 1u : 0u);
        EXPECT_EQ(count(o.out, kEmptyIdLine), static_cast<size_t>(want.empty_id_lines_warned));
        EXPECT_EQ(count(o.out, "Successfully uploaded file to dataset"), 1u);
        expect_no_problems();
        return o;
    }

    // Every record exactly once and in order, whatever the cut: the shards
    // with their headers taken off join up to the records.
    void expect_records_once(const std::vector<std::string>& records, const std::string& header) {
        std::string joined, want;
        for (const auto& data : shard_data()) {
            EXPECT_EQ(data.substr(0, header.size()), header);
            joined += data.substr(header.size());
        }
        for (const auto& r : records) want += r;
        EXPECT_EQ(joined, want);
    }

    Scratch files;
};

}  // namespace

TEST_F(UploadSharding, CsvWithFieldNamesAtSeveralShardSizes) {
    const std::string text = generated_csv(40, true);
    const std::string path = files.write("names.csv", text);
    std::vector<std::string> lines = text_records(text);
    const std::string header = lines.front();
    std::vector<std::string> records(lines.begin() + 1, lines.end());
    ShardModel model;
    model.header = header;
    model.always_last = true;
    const int32_t sizes[] = {0, 1, int32_t(records[0].size()), int32_t(header.size() + records[0].size()),
                             300, 4096, 209715200, -1};
    for (int32_t size : sizes) {
        SCOPED_TRACE(size);
        check(path, kCsvNames, records, model, size);
        expect_records_once(records, header);
    }
}

TEST_F(UploadSharding, CsvWithoutFieldNamesAndLibsvmAtSeveralShardSizes) {
    const std::string csv_text = generated_csv(40, false);
    const std::string svm_text = "+1 1:0.708333 2:1 3:1 4:-0.320755\n-1 1:0.583333 2:-1 3:0.333333\n"
                                 "+1 1:0.166667 2:1 3:-0.333333 4:-0.433962 5:-0.383562\n-1 1:0.458333\n"
                                 "+1 1:0.875 2:-1 3:-0.333333 4:-0.509434 5:-0.347032 6:-1 7:1 8:-0.236641\n";
    const std::string csv = files.write("plain.csv", csv_text);
    const std::string svm = files.write("data.svm", svm_text);
    for (const auto& [path, options, text] :
         {std::tuple{csv, kCsvPlain, csv_text}, std::tuple{svm, kLibsvm, svm_text}}) {
        std::vector<std::string> records = text_records(text);
        for (int32_t size : {0, 1, int32_t(records[0].size()), 100, 4096, 209715200, -1}) {
            SCOPED_TRACE(path + " " + std::to_string(size));
            check(path, options, records, ShardModel{}, size, "n\nn\n");
            expect_records_once(records, "");
        }
    }
}

TEST_F(UploadSharding, JsonAtSeveralShardSizesWithTheInputLineAfterEachInLoopSend) {
    json array = json::array();
    for (int i = 0; i < 25; ++i)
        array.push_back({{"id", "v" + std::to_string(i)},
                         {"vector", {i * 0.5, -i, 1e-7 * i}},
                         {"text", std::string(i % 5, 'x') + "\u00e9\u4e2d"},
                         {"nested", {{"b", i}, {"a", nullptr}}}});
    // Written spaced out, keys unsorted, followed by other text.
    std::string file_text = array.dump(2);
    file_text.insert(file_text.find("\"id\""), "\"zz\": true, ");
    array[0]["zz"] = true;
    const std::string path = files.write("data.json", file_text + "\n{\"trailing\": 1} junk");
    std::vector<std::string> records;
    for (const auto& e : array) records.push_back(e.dump());
    ShardModel model;
    model.json_array = true;
    model.always_last = true;
    std::string input;
    for (int i = 0; i < 100; ++i) input += "line " + std::to_string(i) + "\n";
    for (int32_t size : {0, 1, int32_t(records[3].size() + 3), 200, 1000, 209715200, -1}) {
        SCOPED_TRACE(size);
        check(path, kJson, records, model, size, input);
        // The elements of all shards, in order, are the file's elements.
        json joined = json::array();
        for (const auto& data : shard_data())
            for (const auto& e : json::parse(data)) joined.push_back(e);
        EXPECT_EQ(joined, array);
    }
    // One input line is read after each send but the last.
    SHARD_SIZE = 1000;
    StdinFeed in(input);
    service->clear_log();
    upload(path, kJson);
    const size_t sent = shards().size();
    ASSERT_GE(sent, 3u);
    EXPECT_EQ(in.rest(), input.substr(input.find("line " + std::to_string(sent - 1) + "\n")));
}

TEST_F(UploadSharding, JsonWithStandardInputAtItsEndDoesNotStop) {
    const std::string path = files.write("a.json", "[1,2,3,4,5]");
    SHARD_SIZE = 0;
    StdinFeed in("");
    Outcome o = upload(path, kJson);
    EXPECT_TRUE(o.result);
    EXPECT_EQ(shard_data(), (std::vector<std::string>{"[1]", "[2]", "[3]", "[4]", "[5]", "[]"}));
}

TEST_F(UploadSharding, BinaryRecordsAtSeveralShardSizes) {
    struct Layout {
        int dim;
        std::string dtype;
        size_t record;
    };
    for (const Layout& l : {Layout{7, "uint8", 7}, Layout{3, "float32", 12}, Layout{5, "FLOAT32", 5},
                            Layout{2, "int8", 2}}) {
        // 30 whole records and the bytes of an incomplete one.
        const std::string bytes =
            pseudo_random_bytes(30 * l.record + l.record - 1, static_cast<uint32_t>(l.record));
        const std::string path = files.write("data.bin", bytes);
        std::vector<std::string> records;
        for (size_t i = 0; i < 30; ++i) records.push_back(bytes.substr(i * l.record, l.record));
        for (int32_t size : {0, 1, int32_t(l.record), 50, 4096, 209715200}) {
            SCOPED_TRACE(l.dtype + " " + std::to_string(size));
            Outcome o = check(path, binary(l.dim, l.dtype), records, ShardModel{}, size);
            expect_records_once(records, "");
            // "Number of vectors" on standard error, once per shard, in order.
            std::string want;
            for (const auto& data : shard_data())
                want += "Number of vectors " + std::to_string(data.size() / l.record) + "\n";
            std::string got;
            for (const auto& line : split_lines(o.err))
                if (line.rfind("Number of vectors ", 0) == 0) got += line + "\n";
            EXPECT_EQ(got, want);
        }
    }
}

TEST_F(UploadSharding, StringIdsShorterEqualAndLongerThanTheData) {
    const std::string text = generated_csv(12, true);
    const std::string path = files.write("ids.csv", text);
    std::vector<std::string> lines = text_records(text);
    std::vector<std::string> records(lines.begin() + 1, lines.end());
    struct Case {
        const char* name;
        std::string ids;
    };
    const std::vector<Case> cases = {
        {"one per line, equal", "a\nb\nc\nd\ne\nf\ng\nh\ni\nj\nk\nl\n"},
        {"longer, no message", "a\nb\nc\nd\ne\nf\ng\nh\ni\nj\nk\nl\nm\nn\n"},
        {"shorter: warned once, the rest without ids", "a\nb\nc\nd\ne\n"},
        {"several per line, tabs, CRLF", "a b\tc\r\nd  e\r\nf\ng h i j k l\r\n"},
        {"blank and white-space lines are warned and skipped", "a\n\nb\n \t \n\r\nc d\ne\nf g h i j k l"},
        {"empty ids file", ""},
        {"only blank lines", "\n\n\n"},
        {"runs out exactly at a shard boundary", "a\nb\nc\nd\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string ids = files.write("ids.txt", c.ids);
        ShardModel model;
        model.header = lines.front();
        model.always_last = true;
        model.id_lines = split_lines(c.ids);
        for (int32_t size : {0, 100, 250, 209715200}) {
            SCOPED_TRACE(size);
            check(path, with_ids(kCsvNames, ids), records, model, size);
        }
    }
}

TEST_F(UploadSharding, StringIdsWithEveryFormat) {
    const std::string ids = files.write("ids.txt", "id1 id2\nid3\n\nid4\n");
    const std::vector<std::string> id_lines = split_lines("id1 id2\nid3\n\nid4\n");
    SHARD_SIZE = 20;
    {
        const std::string text = "1 1:1\n2 2:2\n3 3:3\n4 4:4\n5 5:5\n";
        ShardModel model;
        model.id_lines = id_lines;
        check(files.write("d.svm", text), with_ids(kLibsvm, ids), text_records(text), model, 20);
    }
    {
        const std::string text = "1,2\n3,4\n5,6\n";
        ShardModel model;
        model.id_lines = id_lines;
        check(files.write("d.csv", text), with_ids(kCsvPlain, ids), text_records(text), model, 20, "n\nn\n");
    }
    {
        ShardModel model;
        model.json_array = true;
        model.always_last = true;
        model.id_lines = id_lines;
        check(files.write("d.json", "[[1,2],[3,4],{\"a\":[5]},\"x\",7]"), with_ids(kJson, ids),
              {"[1,2]", "[3,4]", "{\"a\":[5]}", "\"x\"", "7"}, model, 20);
    }
    {
        const std::string bytes = pseudo_random_bytes(64, 9);
        std::vector<std::string> records;
        for (size_t i = 0; i < 4; ++i) records.push_back(bytes.substr(i * 16, 16));
        ShardModel model;
        model.id_lines = id_lines;
        check(files.write("d.bin", bytes), with_ids(binary(4, "float32"), ids), records, model, 20);
    }
}

TEST_F(UploadSharding, CrlfLinesKeepTheirCarriageReturn) {
    const std::string text = generated_csv(10, true, "\r\n");
    const std::string path = files.write("crlf.csv", text);
    std::vector<std::string> lines = text_records(text);
    ASSERT_EQ(lines[1].substr(lines[1].size() - 2), "\r\n");
    ShardModel model;
    model.header = lines.front();
    model.always_last = true;
    check(path, kCsvNames, std::vector<std::string>(lines.begin() + 1, lines.end()), model, 64);
    for (const auto& data : shard_data()) EXPECT_EQ(data.substr(0, model.header.size()), "id,x,y,label\r\n");
}

TEST_F(UploadSharding, LinesAsReadIncludingEmptyOnesAndALastLineWithoutNewline) {
    const std::string path = files.write("odd.csv", "h\n\nx\n\n\ny");
    SHARD_SIZE = 209715200;
    upload(path, kCsvNames);
    EXPECT_EQ(shard_data(), (std::vector<std::string>{"h\n\nx\n\n\ny\n"}));
    // Lines that exactly fill the last in-loop shard leave the header alone.
    const std::string exact = files.write("exact.csv", "h\na\nb\nc\n");
    SHARD_SIZE = 4;
    service->clear_log();
    upload(exact, kCsvNames);
    EXPECT_EQ(shard_data(), (std::vector<std::string>{"h\na\n", "h\nb\n", "h\nc\n", "h\n"}));
    // A record longer than the limit goes with the records gathered before it.
    const std::string longer = files.write("long.csv", "a\nb\n" + std::string(50, 'L') + "\nc\n");
    SHARD_SIZE = 6;
    service->clear_log();
    StdinFeed in("n\nn\n");
    upload(longer, kCsvPlain);
    EXPECT_EQ(shard_data(), (std::vector<std::string>{"a\nb\n" + std::string(50, 'L') + "\n", "c\n"}));
}

TEST_F(UploadSharding, EmptyFilesOfEachFormat) {
    struct Case {
        const char* name;
        std::string content;
        OptionMap options;
        std::vector<std::string> shards;
    };
    const std::vector<Case> cases = {
        {"csv with field names: one shard of an empty header line", "", kCsvNames, {"\n"}},
        {"csv with field names, header only", "a,b\n", kCsvNames, {"a,b\n"}},
        {"csv without field names: no shard", "", kCsvPlain, {}},
        {"libsvm: no shard", "", kLibsvm, {}},
        {"binary shorter than one record: no shard", "abc", binary(4, "uint8"), {}},
        {"binary empty: no shard", "", binary(4, "float32"), {}},
        {"json empty array: one shard", " [ ] ", kJson, {"[]"}},
    };
    SHARD_SIZE = 1000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->clear_log();
        StdinFeed in("n\nn\n");
        Outcome o = upload(files.write("empty", c.content), c.options);
        EXPECT_TRUE(o.result);
        EXPECT_EQ(shard_data(), c.shards);
        if (c.shards.empty()) {
            EXPECT_EQ(polls(), 0u);
            std::string tail = green("Successfully uploaded file to dataset");
            ASSERT_GE(o.out.size(), tail.size());
            EXPECT_EQ(o.out.substr(o.out.size() - tail.size()), tail);
            EXPECT_EQ(o.out.find("Uploaded ["), std::string::npos);
        }
        expect_no_problems();
    }
}

TEST_F(UploadSharding, EveryFailureOfTheReadingStageSendsNothing) {
    const std::string csv = files.write("d.csv", "h\n1\n");
    const std::string object = files.write("o.json", "{\"a\": [1]}");
    const std::string bin = files.write("d.bin", std::string(64, 'b'));
    const std::string no_ids = files.path("no-ids.txt");
    struct Case {
        const char* name;
        std::string path;
        OptionMap options;
        std::string error;
        int32_t shard_size = 1000;
    };
    const std::vector<Case> cases = {
        {"ids file missing, csv", csv, with_ids(kCsvNames, no_ids), "Failed to open " + no_ids},
        {"ids file missing, libsvm", csv, with_ids(kLibsvm, no_ids), "Failed to open " + no_ids},
        {"ids file missing, binary (before the dim check)", bin, with_ids(binary(0, "uint8"), no_ids),
         "Failed to open " + no_ids},
        {"ids file missing, json (after parsing, before the array check)", object,
         with_ids(kJson, no_ids), "Failed to open " + no_ids},
        {"json parse error comes before the ids file", files.write("bad.json", "[1, 2"),
         with_ids(kJson, no_ids), document_error("[1, 2")},
        {"json empty file", files.write("e.json", ""), kJson, document_error("")},
        {"json malformed", files.write("m.json", "[1,,2]"), kJson, document_error("[1,,2]")},
        {"json not an array", object, kJson, "Given json file is not an array"},
        {"json a number", files.write("n.json", "42"), kJson, "Given json file is not an array"},
        {"binary dim 0", bin, binary(0, "float32"), "Invalid argument for binary dim"},
        {"binary dim negative", bin, binary(-4, "uint8"), "Cannot size the record buffer: record size -4 bytes"},
        {"binary record beyond 32 bits", bin, binary(600000000, "float32"),
         "Cannot size the record buffer: record size 2400000000 bytes"},
        {"binary with a negative SHARD_SIZE", bin, binary(4, "uint8"),
         "Cannot size the shard buffer: SHARD_SIZE is -1", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->clear_log();
        SHARD_SIZE = c.shard_size;
        Outcome o = upload(c.path, c.options);
        EXPECT_FALSE(o.result);
        EXPECT_EQ(o.out, red("Error in upload: " + c.error));
        EXPECT_TRUE(service->requests().empty());
    }
}

TEST_F(UploadSharding, SeveralShardsOfAGeneratedFileAtASmallShardSize) {
    // About 1.5 MB of CSV in shards of 256 KiB, and a float32 file of the
    // same order in shards of 200 KiB.
    const std::string text = generated_csv(60000, true);
    const std::string path = files.write("big.csv", text);
    std::vector<std::string> lines = text_records(text);
    ShardModel model;
    model.header = lines.front();
    model.always_last = true;
    check(path, kCsvNames, std::vector<std::string>(lines.begin() + 1, lines.end()), model, 262144);
    EXPECT_GE(shards().size(), 5u);

    const std::string bytes = pseudo_random_bytes(128 * 4 * 2500 + 17, 3);
    std::vector<std::string> records;
    for (size_t i = 0; i < 2500; ++i) records.push_back(bytes.substr(i * 512, 512));
    check(files.write("big.bin", bytes), binary(128, "float32"), records, ShardModel{}, 204800);
    EXPECT_EQ(shards().size(), 7u);
}
