// JSON data files read in two streaming passes: the first pass accepts and
// refuses exactly what a document parse does (same exception text), wherever
// in a big file the fault lies; the second hands out the elements of the
// parsed document as the JSON library writes them out, across read buffers
// and chunks; a failed read is never taken for the end of the file; whole
// uploads of a big array, of every kind of value, of malformed files, of a
// piped file and of one nested too deeply.
#include "client/upload/json_reader.h"

#include <streambuf>

#include "support/process.h"
#include "upload_testing.h"

using namespace upload_testing;
using rest_client::OptionMap;
using rest_client::upload::check_json_value;
using rest_client::upload::CompactElements;
using rest_client::upload::kMaxDataDepth;

namespace {

const OptionMap kJson{{"file_format", "json"}, {"has_field_names", "false"},
                      {"collection_name", "d"}, {"vector_type", "dense"}};

// The compact elements of the text's first value, through the two passes.
std::vector<std::string> streamed_elements(const std::string& text) {
    std::istringstream in(text);
    EXPECT_TRUE(check_json_value(in, "data.json"));
    in.clear();
    in.seekg(0);
    CompactElements elements(in, "data.json");
    std::vector<std::string> out;
    std::string_view element;
    while (elements.next(element)) out.emplace_back(element);
    EXPECT_FALSE(elements.next(element));
    return out;
}

// What the library writes out for each element of the parsed document.
std::vector<std::string> document_elements(const std::string& text) {
    std::istringstream in(text);
    json value;
    in >> value;
    std::vector<std::string> out;
    for (const auto& e : value) out.push_back(e.dump());
    return out;
}

// What the first pass throws, or "" when it accepts the text.
std::string first_pass_error(const std::string& text) {
    std::istringstream in(text);
    try {
        check_json_value(in, "data.json");
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// How deep the library's own reading finds the text's containers.
size_t library_depth(const std::string& text) {
    size_t deepest = 0;
    const json document = json::parse(text, [&deepest](int depth, json::parse_event_t event, json&) {
        if (event == json::parse_event_t::array_start || event == json::parse_event_t::object_start)
            deepest = std::max(deepest, static_cast<size_t>(depth) + 1);
        return true;
    });
    return deepest;
}

// Elements that hold what the cutting must see through: brackets, commas and
// escaped quotes and backslashes inside strings.
std::string tricky_element(size_t i) {
    return "{\"s\":\"" + std::string(i % 97, 'x') + "],\\\"}{\\\\\",\"n\":[" + std::to_string(i) +
           ",{\"k\":\"[\"}],\"e\":\"\\u00e9\\/\\n\"}";
}

// A well-formed array of about `bytes` bytes: several chunks and read buffers.
std::string big_array(size_t bytes) {
    std::string text = "[";
    for (size_t i = 0; text.size() < bytes; ++i) text += (i ? ",\n " : "") + tricky_element(i);
    return text + "]";
}

// Every kind of value the library reads, in a deterministic mix.
json every_kind_of_value(int i) {
    static const json scalars = json::parse(R"([
        0, -0, -0.0, 1, -1, 9007199254740993, -9007199254740993, 9223372036854775807,
        -9223372036854775808, 9223372036854775808, 18446744073709551615, 18446744073709551616,
        -9223372036854775809, 123456789012345678901234567890, 0.1, -0.5, 1e5, 1E+2, 2.5e-3,
        1.7976931348623157e308, 4.9e-324, 1e-320, 1e22, 1e23, 0.30000000000000004, 123.456e7,
        true, false, null, "", "plain", "\u00e9\u4e2d\ud83d\ude00", "\"\\\/\b\f\n\r\t",
        "\u0000\u0001\u001f\u007f\u0080\u2028", "]},[{\"", "\uD800\uDC00\udbff\udfff"])");
    const json& scalar = scalars[static_cast<size_t>(i) % scalars.size()];
    switch (i % 5) {
        case 0: return scalar;
        case 1: return json::array({scalar, json::array(), json::object(), json::array({json::array({i})})});
        case 2: return {{"z", scalar}, {"a", {{"y", i}, {"b", json::array({scalar})}}}, {"\u00e9", nullptr}, {"A", i}};
        case 3: return std::string(static_cast<size_t>(i) * 7 % 5000, 'l') + "\\\"" + std::to_string(i);
        default: return {{"", json::object()}, {"k" + std::to_string(i % 7), scalar}};
    }
}

// The text of an array with spacing, key orders and number forms that the
// compact forms change, duplicate keys among them.
std::string every_kind_of_text(int count) {
    std::string text = "\xEF\xBB\xBF [\n";
    for (int i = 0; i < count; ++i) {
        if (i) text += i % 3 ? " ,\t" : ",\r\n";
        if (i % 11 == 0)
            text += "{\"b\": 1, \"a\": [1.50, 2E1, -0, 1e-400], \"b\": {\"d\": 2, \"c\": \"\\u0041\"}, \"a\" : 3}";
        else
            text += every_kind_of_value(i).dump(i % 4 == 0 ? 2 : -1);
    }
    return text + "\n] trailing";
}

// Serves `text` and fails at byte `fail_at`, as a disk that cannot be read.
class FailingBuffer : public std::streambuf {
public:
    FailingBuffer(std::string text, size_t fail_at) : text_(std::move(text)), fail_at_(fail_at) {}

protected:
    int_type underflow() override {
        if (gptr() != nullptr && gptr() < egptr()) return traits_type::to_int_type(*gptr());
        if (served_ >= fail_at_) throw std::ios_base::failure("Input/output error");
        const size_t n = std::min<size_t>(4096, fail_at_ - served_);
        char* begin = text_.data() + served_;
        setg(begin, begin, begin + n);
        served_ += n;
        return traits_type::to_int_type(*begin);
    }

private:
    std::string text_;
    size_t fail_at_;
    size_t served_ = 0;
};

}  // namespace

TEST(JsonElements, ElementsAreThoseOfTheParsedDocument) {
    const size_t block = 1 << 20;  // the passes read this much at a time
    std::vector<std::string> texts = {
        "[]",
        " \r\n\t[ \n ] trailing",
        "[1]",
        "[ 1 , \"a\" ,true,false , null ]",
        "[[],{},[[]],{\"a\":{}}]",
        R"([{"z":1,"a":[1,2,{"k":"v"}]},"x"])",
        R"(["]",  "}", ",", "[{", "\"", "a\\", "\\\"", "\u00e9\ud83d\ude00", "tab\there", "\/\u001F\u0000"])",
        R"([{"a":1,"a":2}, {"b":[1,{"c":"]"}]}, {"b":1,"a":2,"b":3,"a":{"y":1,"x":2}}])",
        "[-0, 0.5, 1e5, 1E+2, -1.25e-3, 12345678901234567890, -9223372036854775808, 3.0]",
        "[1e-400, -1e-400, 18446744073709551616, 1.7976931348623158e308, 0.1e1, 100e-2, 5e-324]",
        "\xEF\xBB\xBF[1, \"bom\"]",
        "[1] [2]",
        "[\"a\"]xyz",
        "[ \"\xe4\xb8\xad\xe6\x96\x87\", {\"\xc3\xa9\":1,\"e\":2,\"\xf0\x9f\x98\x80\":3} ]",
    };
    // Escapes, quotes and brackets straddling the 64-byte steps of the
    // cutting and the read buffer's end.
    for (size_t shift = 0; shift < 130; shift += 7)
        texts.push_back("[" + std::string(shift, ' ') + "\"\\\\\\\"],\\\\\", [\"\\\\\"], {\"k\\\"\":\"}\"}]");
    for (int shift = -3; shift <= 3; ++shift) {
        const size_t fill = block - 3 + static_cast<size_t>(shift + 3) - 3;
        texts.push_back("[\"" + std::string(fill, 'a') + "\\\"]\\\\\",[1,{\"k\":\"]\"}],\"end\"]");
        texts.push_back("[" + std::string(fill, ' ') + "{\"a\":[1,2]} , [3]]");
    }
    texts.push_back(big_array(3 * block));
    for (const auto& text : texts) {
        SCOPED_TRACE(text.substr(0, 60));
        ASSERT_EQ(document_error(text), "");
        EXPECT_EQ(streamed_elements(text), document_elements(text));
    }
}

TEST(JsonElements, FirstPassThrowsWhatTheDocumentParseThrows) {
    const std::string big = big_array(3 << 20);  // chunks and read buffers
    const std::string head = big.substr(0, big.size() - 1);
    const std::vector<std::string> bad = {
        "", "   ", "[1, 2", "[1,]", "[1 2]", "[,1]", "{\"a\":}", "[tru]", "[01]", "[1e500]",
        "[\"\\ud800\"]", "[\"\xff\"]", "[\"a\nb\"]", "\xEF\xBB[1]", "[\"unterminated]", "]",
        "[" + nested(50),
        // What the cutting alone cannot see.
        "[1, 2}", "[{]}", "[[}]", "[{\"a\":1]]", "[1}]", "[\"\\\"]", "[1,\n]", "[{}{}]",
        // Numbers.
        "[-]", "[1.]", "[.5]", "[+1]", "[1e]", "[1e+]", "[-01]", "[1.5.2]", "[0x10]", "[1e309]",
        "[1.7976931348623159e308]", "[-1e99999999999999999999]", "[" + std::string(400, '9') + "]",
        // Strings and literals.
        "[\"\\x\"]", "[\"\\u12G4\"]", "[\"\\uDC00\"]", "[\"\\ud800\\u0041\"]", "[\"\\ud800x\"]",
        "[\"\xc0\xaf\"]", "[\"\xed\xa0\x80\"]", "[\"\xf4\x90\x80\x80\"]", "[\"\xe4\xb8\"]", "[\"\x7f\x01\"]",
        "[nul]", "[truex]", "[True]", "[{\"a\" 1}]", "[{1:2}]", "[{\"a\":1,}]", "[{,}]", std::string("[\0]", 3),
        // Faults far into a big file.
        head, head + ",", head + ",]", head + ", {\"a\": [1, 2}]", head + ", \"\\q\"]",
        head + ", 1e400]", head + "}", big.substr(0, big.size() / 2) + "\x01" + big.substr(big.size() / 2),
    };
    for (const auto& text : bad) {
        SCOPED_TRACE(text.substr(0, 60));
        const std::string want = document_error(text);
        ASSERT_NE(want, "");
        EXPECT_EQ(first_pass_error(text), want);
    }
    // At the edges of what the library reads, and accepted as it does.
    const std::vector<std::string> edges = {
        "[1e308]", "[1.7976931348623158e308]", "[-1.7976931348623158e308]", "[1e-400]", "[0e99999999999]",
        "[-0.0E-0]", "[123456789012345678901234567890]", "[" + std::string(300, '9') + "]",
        "[\"\\uDBFF\\uDFFF\xf4\x8f\xbf\xbf\xed\x9f\xbf\xee\x80\x80\"]", "[1] ]", "[{\"a\":[]}]{",
    };
    for (const auto& text : edges) {
        SCOPED_TRACE(text.substr(0, 60));
        ASSERT_EQ(document_error(text), "");
        EXPECT_EQ(first_pass_error(text), "");
    }
    // Values that are not arrays pass the first pass and say so.
    for (const std::string text : {"{}", "{\"a\":[1]}", "42", "\"s\"", "null", " true [1]"}) {
        std::istringstream in(text);
        EXPECT_FALSE(check_json_value(in, "data.json")) << text;
    }
}

TEST(JsonElements, NestingBeyondTheLimitIsRefused) {
    const std::string deepest = "[" + nested(kMaxDataDepth - 1) + "]";
    EXPECT_EQ(streamed_elements(deepest), document_elements(deepest));
    for (const std::string& text : {"[" + nested(kMaxDataDepth) + "]", "[1, " + nested(kMaxDataDepth) + "]"}) {
        std::istringstream in(text);
        EXPECT_THROW(check_json_value(in, "data.json"), std::runtime_error);
    }
}

TEST(JsonElements, FastPathAgreesWithTheLibraryAtEveryEdge) {
    // String contents: UTF-8 after each lead byte's bounds (cut short,
    // overlong, surrogates, past U+10FFFF), \u escapes in both cases and with
    // the characters next to each hex range, surrogate halves alone and in
    // wrong pairs.
    std::vector<std::string> strings = {
        "\\u00e9\\u00E9\\uABCD\\uabcd\\u0aF9\\uFFFF\\u0000\\u001F", "\\uD83D\\uDE00", "\\ud83d\\ude00",
        "\\uDBFF\\uDFFF", "\\uDC00", "\\udfff", "\\uD800", "\\uD800\\u0041", "\\uD800\\uD800", "\\uDBFF\\uE000",
        "\\uD800x", "\\uD800\\n", "\\\"\\\\\\/\\b\\f\\n\\r\\t", "\\u12", "\\x"};
    for (const char c : std::string("/:@G`g")) strings.push_back(std::string("\\u123") + c);
    for (const char lead : std::string("\x7F\x80\xC0\xC1\xC2\xDF\xE0\xED\xEF\xF0\xF4\xF5\xFF"))
        for (const char* next : {"", "\x7F", "\x80", "\x8F", "\x90", "\x9F", "\xA0", "\xBF", "\xC0"})
            for (const char* tail : {"", "\x80", "\x80\x80"}) strings.push_back(lead + std::string(next) + tail);
    // Numbers at the edges of 64-bit integers and doubles, duplicate keys,
    // and nesting at the data limit and one past it.
    const auto objects = [](size_t depth) {
        std::string text;
        for (size_t i = 0; i < depth; ++i) text += "{\"k\":";
        return text + "0" + std::string(depth, '}');
    };
    std::vector<std::string> elements = {
        "9223372036854775807", "9223372036854775808", "-9223372036854775808", "-9223372036854775809",
        "18446744073709551615", "18446744073709551616", "-18446744073709551616", "-0", "-0.0", "1e309",
        "-1e309", "5e-324", "2e-324", "3e-324", "2.4703282292062328e-324", "1.7976931348623157e308",
        R"({"a":1,"a":2})", R"({"b":[1],"a":2,"b":{"d":1,"c":2,"d":3}})", R"({"\u0061":1,"a":2,"é":3,"\u00E9":4})",
        nested(kMaxDataDepth - 1), nested(kMaxDataDepth), objects(kMaxDataDepth - 1), objects(kMaxDataDepth)};
    for (const auto& s : strings) {
        elements.push_back("\"" + s + "\"");
        elements.push_back("{\"z\":0,\"" + s + "\":1}");
    }
    for (const auto& element : elements) {
        const std::string text = "[" + element + "]";
        SCOPED_TRACE(text.substr(0, 60));
        std::string want = document_error(text);
        if (want.empty() && library_depth(text) > kMaxDataDepth)
            want = "JSON value nested deeper than " + std::to_string(kMaxDataDepth) + " levels";
        const std::string got = first_pass_error(text);
        EXPECT_EQ(got, want);
        if (want.empty() && got.empty()) {
            EXPECT_EQ(streamed_elements(text), document_elements(text));
        }
    }
}

TEST(JsonElements, AFailedReadIsNotTheEndOfTheFile) {
    const std::string text = big_array(3 << 20);
    const std::vector<std::string> all = document_elements(text);
    for (const size_t fail_at : {size_t(0), size_t(100), size_t(1) << 20, text.size() - 1}) {
        SCOPED_TRACE(fail_at);
        FailingBuffer first(text, fail_at);
        std::istream in(&first);
        try {
            check_json_value(in, "data.json");
            ADD_FAILURE() << "first pass accepted";
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), "Failed to read file: data.json");
        }

        // The elements before the failed read come out, then the error.
        FailingBuffer second(text, fail_at);
        std::istream again(&second);
        std::vector<std::string> got;
        try {
            CompactElements elements(again, "data.json");
            std::string_view element;
            while (elements.next(element)) got.emplace_back(element);
            ADD_FAILURE() << "second pass ended";
        } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), "Failed to read file: data.json");
        }
        ASSERT_LE(got.size(), all.size());
        EXPECT_EQ(got, std::vector<std::string>(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(got.size())));
    }
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

TEST_F(UploadJson, EveryKindOfValueArrivesAsTheLibraryWritesIt) {
    // Each shard holds exactly what the library's own document parse and
    // compact serialisation give: sorted keys, the last of equal keys,
    // escapes and number forms rewritten.
    const std::string text = every_kind_of_text(4000);
    ASSERT_EQ(document_error(text), "");
    const std::string path = files.write("kinds.json", text);
    const std::vector<std::string> records = document_elements(text);
    ShardModel model;
    model.json_array = true;
    model.always_last = true;
    for (int32_t size : {209715200, 100000}) {
        SCOPED_TRACE(size);
        service->clear_log();
        SHARD_SIZE = size;
        StdinFeed in("");
        Outcome o = upload(path, kJson);
        EXPECT_TRUE(o.result) << o.out;
        expect_shards(shards(), model_shards(records, model, size).shards);
        expect_no_problems();
    }
}

TEST_F(UploadJson, MalformedFilesSendNothingAndSayWhatTheLibrarySays) {
    const std::string big = big_array(3 << 20);
    const std::string head = big.substr(0, big.size() - 1);
    for (const std::string& text : {head + ", {\"a\": 01}]", head + ",]", big.substr(0, 2 << 20),
                                    big.substr(0, 1 << 20) + "\"\t\"" + big.substr(1 << 20)}) {
        ASSERT_NE(document_error(text), "");
        service->clear_log();
        const std::string path = files.write("bad.json", text);
        Outcome o = upload(path, kJson);
        EXPECT_FALSE(o.result);
        EXPECT_EQ(o.out, red("Error in upload: " + document_error(text)));
        EXPECT_TRUE(service->requests("/api/upload").empty());
    }
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
