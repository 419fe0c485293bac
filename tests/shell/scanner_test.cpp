// The scanner: lines in, token streams out, with variable expansion.
#include <gtest/gtest.h>

// <regex> trips a false uninitialised-value warning in the sanitizer build.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <cstdio>
#include <cstdlib>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "shell/parser.tab.hpp"
#include "shell/scanner.h"

namespace {

const std::vector<std::pair<int, const char*>> kTokenNames = {
    {NEWLINE, "NEWLINE"}, {HELP, "HELP"}, {HELP_FLAG, "HELP_FLAG"},
    {ATTACH_INDEX, "ATTACH_INDEX"}, {DIM, "DIM"}, {INIT_DATASET, "INIT_DATASET"},
    {CREATE_PROJECT, "CREATE_PROJECT"}, {DELETE_DATASET, "DELETE_DATASET"},
    {DELETE_INDEX, "DELETE_INDEX"}, {DELETE_PROJECT, "DELETE_PROJECT"},
    {DELETE_VECTOR, "DELETE_VECTOR"}, {FETCH_DATASETS, "FETCH_DATASETS"},
    {FETCH_PROJECTS, "FETCH_PROJECTS"}, {INSERT_VECTOR, "INSERT_VECTOR"},
    {VECTOR_ATTRIBUTES, "VECTOR_ATTRIBUTES"}, {INSERT_VECTOR_BATCH, "INSERT_VECTOR_BATCH"},
    {LIST_INDEX_INFO, "LIST_INDEX_INFO"}, {SEARCH, "SEARCH"}, {TOP_K, "TOP_K"},
    {FILTER_ATTRIBUTE, "FILTER_ATTRIBUTE"}, {FILTER_TYPE, "FILTER_TYPE"},
    {TARGET_VALUE, "TARGET_VALUE"}, {START_VALUE, "START_VALUE"}, {END_VALUE, "END_VALUE"},
    {QUERY_VECTOR, "QUERY_VECTOR"}, {ROW_NUMBER, "ROW_NUMBER"}, {FILE_PATH, "FILE_PATH"},
    {FILE_TYPE, "FILE_TYPE"}, {DATASET_NAME, "DATASET_NAME"}, {UPLOAD, "UPLOAD"},
    {FILE_FORMAT, "FILE_FORMAT"}, {HAS_FIELD_NAMES, "HAS_FIELD_NAMES"},
    {VECTOR_TYPE, "VECTOR_TYPE"}, {VECTOR_ID_FIELD_NAME, "VECTOR_ID_FIELD_NAME"},
    {VECTOR_DATA_FIELD_NAME, "VECTOR_DATA_FIELD_NAME"}, {ATTRIBUTES, "ATTRIBUTES"},
    {BINARY_DIM, "BINARY_DIM"}, {BINARY_DTYPE, "BINARY_DTYPE"},
    {QUERY_DATASET_NAME, "QUERY_DATASET_NAME"}, {STRING_IDS_FILE_PATH, "STRING_IDS_FILE_PATH"},
    {COLON, "COLON"}, {COMMA, "COMMA"}, {LBRACKET, "LBRACKET"}, {RBRACKET, "RBRACKET"}};

std::string name_of(int token) {
    for (const auto& [code, name] : kTokenNames)
        if (code == token) return name;
    return "?" + std::to_string(token);
}

// The tokens of a text, words as S(value) and options as OPTION(key).
std::vector<std::string> scan(const std::string& text) {
    FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    yyin = f;
    std::vector<std::string> out;
    for (int t; (t = yylex()) != 0;) {
        if (t == STRING_LITERAL || t == OPTION) {
            out.push_back(std::string(t == OPTION ? "OPTION(" : "S(") + *yylval.str + ")");
            delete yylval.str;
        } else {
            out.push_back(name_of(t));
        }
        if (out.size() > 100000) break;
    }
    std::fclose(f);
    yylex_destroy();
    return out;
}

using Tokens = std::vector<std::string>;

TEST(ShellScanner, TokenCodesFollowTheDeclarationOrder) {
    EXPECT_EQ(YYEOF, 0);
    EXPECT_EQ(YYerror, 256);
    EXPECT_EQ(YYUNDEF, 257);
    const int in_order[] = {
        STRING_LITERAL, OPTION, NEWLINE, HELP, HELP_FLAG, ATTACH_INDEX, DIM, INIT_DATASET,
        CREATE_PROJECT, DELETE_DATASET, DELETE_INDEX, DELETE_PROJECT, DELETE_VECTOR,
        FETCH_DATASETS, FETCH_PROJECTS, INSERT_VECTOR, VECTOR_ATTRIBUTES, INSERT_VECTOR_BATCH,
        LIST_INDEX_INFO, SEARCH, TOP_K, FILTER_ATTRIBUTE, FILTER_TYPE, TARGET_VALUE,
        START_VALUE, END_VALUE, QUERY_VECTOR, ROW_NUMBER, FILE_PATH, FILE_TYPE, DATASET_NAME,
        UPLOAD, FILE_FORMAT, HAS_FIELD_NAMES, VECTOR_TYPE, VECTOR_ID_FIELD_NAME,
        VECTOR_DATA_FIELD_NAME, ATTRIBUTES, BINARY_DIM, BINARY_DTYPE, QUERY_DATASET_NAME,
        STRING_IDS_FILE_PATH, EQ, LT, GT, COLON, COMMA, SEMICOLON, LPAREN, RPAREN, LBRACKET,
        RBRACKET, BOOL_VALUE, AND, OR};
    ASSERT_EQ(std::size(in_order), 55u);
    for (size_t i = 0; i < std::size(in_order); ++i) EXPECT_EQ(in_order[i], 258 + int(i)) << i;
}

TEST(ShellScanner, EveryKeywordAndOptionWord) {
    const std::pair<const char*, const char*> keywords[] = {
        {"ATTACH_INDEX", "ATTACH_INDEX"},     {"INIT_DATASET", "INIT_DATASET"},
        {"CREATE_PROJECT", "CREATE_PROJECT"}, {"DELETE_DATASET", "DELETE_DATASET"},
        {"DELETE_INDEX", "DELETE_INDEX"},     {"DELETE_PROJECT", "DELETE_PROJECT"},
        {"DELETE_VECTOR", "DELETE_VECTOR"},   {"FETCH_DATASETS", "FETCH_DATASETS"},
        {"FETCH_PROJECTS", "FETCH_PROJECTS"}, {"INSERT_VECTOR", "INSERT_VECTOR"},
        {"INSERT_VECTOR_BATCH", "INSERT_VECTOR_BATCH"}, {"LIST_INDEX", "LIST_INDEX_INFO"},
        {"SEARCH", "SEARCH"},                 {"UPLOAD", "UPLOAD"},
        {"HELP", "HELP"}};
    for (const auto& [word, token] : keywords) {
        std::string lower = word;
        for (char& c : lower) c = static_cast<char>(std::tolower(c));
        EXPECT_EQ(scan(std::string(word) + " " + lower + " -" + word + "\n"),
                  (Tokens{token, token, std::string("S(-") + word + ")", "NEWLINE"}))
            << word;
    }
    const std::pair<const char*, const char*> options[] = {
        {"dim", "DIM"},
        {"vector_attributes", "VECTOR_ATTRIBUTES"},
        {"top_k", "TOP_K"},
        {"filter_attribute", "FILTER_ATTRIBUTE"},
        {"filter_type", "FILTER_TYPE"},
        {"target_values", "TARGET_VALUE"},
        {"start_value", "START_VALUE"},
        {"end_value", "END_VALUE"},
        {"query_vector", "QUERY_VECTOR"},
        {"row_number", "ROW_NUMBER"},
        {"file_path", "FILE_PATH"},
        {"file_type", "FILE_TYPE"},
        {"dataset_name", "DATASET_NAME"},
        {"binary_dim", "BINARY_DIM"},
        {"binary_dtype", "BINARY_DTYPE"},
        {"file_format", "FILE_FORMAT"},
        {"has_field_names", "HAS_FIELD_NAMES"},
        {"vector_type", "VECTOR_TYPE"},
        {"vector_id_field_name", "VECTOR_ID_FIELD_NAME"},
        {"vector_data_field_name", "VECTOR_DATA_FIELD_NAME"},
        {"attributes", "ATTRIBUTES"},
        {"query_dataset_name", "QUERY_DATASET_NAME"},
        {"string_ids_file_path", "STRING_IDS_FILE_PATH"},
        {"h", "HELP_FLAG"}};
    for (const auto& [word, token] : options) {
        std::string upper = word;
        for (char& c : upper) c = static_cast<char>(std::toupper(c));
        std::string line = std::string("-") + word + " --" + upper + " " + word + " ---" + word + "\n";
        EXPECT_EQ(scan(line), (Tokens{token, token, std::string("S(") + word + ")",
                                      std::string("S(---") + word + ")", "NEWLINE"}))
            << word;
    }
}

TEST(ShellScanner, LinesToTokens) {
    const std::pair<std::string, Tokens> cases[] = {
        {"attach_index AtTaCh_InDeX ATTACH_INDEX\n",
         {"ATTACH_INDEX", "ATTACH_INDEX", "ATTACH_INDEX", "NEWLINE"}},
        {"-Top_K 5\n", {"TOP_K", "S(5)", "NEWLINE"}},
        {"SEARCHx upload1 search\n", {"S(SEARCHx)", "S(upload1)", "SEARCH", "NEWLINE"}},
        {"top_k -UPLOAD\n", {"S(top_k)", "S(-UPLOAD)", "NEWLINE"}},
        {"--target_values --target_value\n", {"TARGET_VALUE", "S(--target_value)", "NEWLINE"}},
        {"LIST_INDEX LIST_INDEX_INFO\n", {"LIST_INDEX_INFO", "S(LIST_INDEX_INFO)", "NEWLINE"}},
        {"-h --H --help -help\n", {"HELP_FLAG", "HELP_FLAG", "S(--help)", "S(-help)", "NEWLINE"}},
        {"--top_k=5\n", {"TOP_K", "S(5)", "NEWLINE"}},
        {"--foo bar\n", {"S(--foo)", "S(bar)", "NEWLINE"}},
        {"\"a b\" 'c d'\n", {"S(a)", "S(b)", "S(c)", "S(d)", "NEWLINE"}},
        {"{x}(y)=z;<w>!v+u*t#s\n",
         {"S(x)", "S(y)", "S(z)", "S(w)", "S(v)", "S(u)", "S(t)", "S(s)", "NEWLINE"}},
        {"1e+5 -1.5 1e-5\n", {"S(1e)", "S(5)", "S(-1.5)", "S(1e-5)", "NEWLINE"}},
        {"a,b x:y\n", {"S(a)", "COMMA", "S(b)", "S(x)", "COLON", "S(y)", "NEWLINE"}},
        {"[1,2]\n", {"LBRACKET", "S(1)", "COMMA", "S(2)", "RBRACKET", "NEWLINE"}},
        {"   \t \r\n", {"NEWLINE"}},
        {"", {}},
        {"a\nb\n", {"S(a)", "NEWLINE", "S(b)", "NEWLINE"}},
        {"./data/file_1.csv\n", {"S(./data/file_1.csv)", "NEWLINE"}},
        {"help Help HELPx\n", {"HELP", "HELP", "S(HELPx)", "NEWLINE"}},
        {"-dim --Dim\n", {"DIM", "DIM", "NEWLINE"}},
        {std::string("a\0b\xc3\xa9" "c\xff\n", 9), {"S(a)", "S(b)", "S(c)", "NEWLINE"}},
        // The three fixed texts, character for character.
        {"-[a-zA-Z0-9_]+ x\n", {"OPTION([a-zA-Z0-9_]+)", "S(x)", "NEWLINE"}},
        {"--[a-zA-Z0-9_]+ x\n", {"OPTION([a-zA-Z0-9_]+)", "S(x)", "NEWLINE"}},
        {"([^\\\"]|\\.)*\n", {"S([^\\\"]|\\.))", "NEWLINE"}},
        {"-[a-zA-Z0-9_]\n", {"S(-)", "LBRACKET", "S(a-zA-Z0-9_)", "RBRACKET", "NEWLINE"}},
        {"-[A-ZA-Z0-9_]+\n", {"S(-)", "LBRACKET", "S(A-ZA-Z0-9_)", "RBRACKET", "NEWLINE"}},
        {"([^\\\"]|\\.)\n",
         {"LBRACKET", "RBRACKET", "S(.)", "NEWLINE"}},
    };
    for (const auto& [line, want] : cases) EXPECT_EQ(scan(line), want) << line;
}

TEST(ShellScanner, VariablesExpandInsideWords) {
    setenv("TARVO_V", "value", 1);
    setenv("TARVO_EMPTY", "", 1);
    setenv("TARVO_KEYWORD", "SEARCH", 1);
    setenv("TARVO_SPACED", "a b, c", 1);
    unsetenv("TARVO_UNSET");
    std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    const std::pair<std::string, Tokens> cases[] = {
        {"$TARVO_V\n", {"S(value)", "NEWLINE"}},
        {"$TARVO_EMPTY\n", {"S()", "NEWLINE"}},
        {"$TARVO_UNSET\n", {"S($TARVO_UNSET)", "NEWLINE"}},
        {"$1 $ $-x\n", {"S($1)", "S($)", "S($-x)", "NEWLINE"}},
        {"$$HOME\n", {"S($" + home + ")", "NEWLINE"}},
        {"$TARVO_KEYWORD\n", {"S(SEARCH)", "NEWLINE"}},
        {"$TARVO_SPACED\n", {"S(a b, c)", "NEWLINE"}},
        {"run_$TARVO_V/$TARVO_V.x\n", {"S(run_value/value.x)", "NEWLINE"}},
        {"${TARVO_V}\n", {"S($)", "S(TARVO_V)", "NEWLINE"}},
        {"$TARVO_Vx\n", {"S($TARVO_Vx)", "NEWLINE"}},
        {"[$TARVO_V:$TARVO_EMPTY]\n", {"LBRACKET", "S(value)", "COLON", "S()", "RBRACKET", "NEWLINE"}},
    };
    for (const auto& [line, want] : cases) EXPECT_EQ(scan(line), want) << line;
}

TEST(ShellScanner, ExpansionMatchesThePatternOnEveryText) {
    setenv("A", "1", 1);
    setenv("_b", "", 1);
    setenv("A1", "{x}", 1);
    unsetenv("B");
    // The brace forms never reach it from the scanner, but the function
    // takes them as the pattern does.
    EXPECT_EQ(expand_env_vars("${A}-${A-$A}-$A}"), "1-1-1-1");
    EXPECT_EQ(expand_env_vars("${1}$"), "${1}$");
    EXPECT_EQ(expand_env_vars("$A1$A$B$_b."), "{x}1$B.");
    EXPECT_EQ(expand_env_vars(""), "");

    // Against the pattern as a regular expression, on random texts.
    const std::regex pattern("\\$\\{?([A-Za-z_][A-Za-z0-9_]*)\\}?");
    auto by_regex = [&](const std::string& s) {
        std::string out;
        auto last = s.cbegin();
        for (std::sregex_iterator it(s.begin(), s.end(), pattern), end; it != end; ++it) {
            out.append(last, (*it)[0].first);
            const char* v = std::getenv((*it)[1].str().c_str());
            out += v ? std::string(v) : it->str();
            last = (*it)[0].second;
        }
        return out.append(last, s.cend());
    };
    const char alphabet[] = "$${}{}AB_b1x.";
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        std::string s(rng() % 12, ' ');
        for (char& c : s) c = alphabet[rng() % (sizeof alphabet - 1)];
        ASSERT_EQ(expand_env_vars(s), by_regex(s)) << s;
    }
}

TEST(ShellScanner, LongWordsAndLongNamesAreReadWhole) {
    std::string name(300000, 'N');
    EXPECT_EQ(expand_env_vars("$" + name), "$" + name);
    std::string word(100000, 'w');
    EXPECT_EQ(scan(word + " $" + name + "\n"),
              (Tokens{"S(" + word + ")", "S($" + name + ")", "NEWLINE"}));
}

}  // namespace
