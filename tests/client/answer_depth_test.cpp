// The nesting limit of parse_json: a text may open 1000 levels, not more,
// and only brackets outside strings count.
#include <gtest/gtest.h>

#include <string>

#include "client/service_call.h"

using rest_client::json;
using rest_client::parse_json;

namespace {

std::string too_deep(size_t byte) {
    return "[json.exception.parse_error.101] parse error at byte " + std::to_string(byte) +
           ": syntax error - JSON nested deeper than 1000 levels";
}

// Objects and arrays in turn: {"k":[{"k":[ ... ]}]}, `levels` deep.
std::string mixed(size_t levels) {
    std::string open, close;
    for (size_t i = 0; i < levels; ++i) {
        open += i % 2 ? "[" : R"({"k":)";
        close.insert(0, i % 2 ? "]" : "}");
    }
    return open + "1" + close;
}

std::string refusal(const std::string& text) {
    try {
        parse_json(text);
    } catch (const json::parse_error& e) {
        return e.what();
    }
    return "(parsed)";
}

}  // namespace

TEST(AnswerDepth, ThousandLevelsParseAndWriteBack) {
    const std::string text = mixed(1000);
    EXPECT_EQ(parse_json(text).dump(), text);
    EXPECT_EQ(refusal(mixed(1001)), too_deep(mixed(1000).find("1") + 1));
    EXPECT_EQ(refusal(std::string(1000000, '[')), too_deep(1001));
}

TEST(AnswerDepth, OnlyOpenLevelsCount) {
    // Many siblings of 999 levels inside one array: never more than 1000 open.
    std::string siblings = "[";
    for (int i = 0; i < 50; ++i) siblings += (i ? "," : "") + std::string(999, '[') + std::string(999, ']');
    siblings += "]";
    EXPECT_EQ(parse_json(siblings).size(), 50u);
    // Brackets inside strings, escaped quotes and backslashes included.
    const std::string brackets(5000, '[');
    const std::string strings = R"({"a":")" + brackets + R"(\"[[","b\\":")" + brackets + R"("})";
    const json parsed = parse_json(strings);
    EXPECT_EQ(parsed.at("a"), brackets + "\"[[");
    EXPECT_EQ(parsed.at("b\\"), brackets);
    // Stray closing brackets do not give levels back.
    EXPECT_EQ(refusal("]]]" + std::string(1001, '[')), too_deep(1004));
}

TEST(AnswerDepth, OtherParseErrorsAreTheLibrarys) {
    for (const char* text : {"[1,", "{\"a\" 1}", "[1] // note", "", "[\"\xff\"]"}) {
        std::string library = "(parsed)";
        try {
            const json parsed = json::parse(text);
            (void)parsed;
        } catch (const json::parse_error& e) {
            library = e.what();
        }
        EXPECT_EQ(refusal(text), library) << text;
        EXPECT_NE(library, "(parsed)") << text;
    }
}
