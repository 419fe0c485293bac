// Lines no one should type: none may crash or hang the shell.
#include "shell_harness.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <random>

#include "support/process.h"

namespace {

using namespace shell_test;
using Calls = std::vector<Call>;

class ShellBadInput : public ShellTest {};

TEST_F(ShellBadInput, LongLinesTokensAndManyWords) {
    std::string token(4 << 20, 'x');
    LineRun r = run("CREATE_PROJECT " + token + " app");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args[0].size(), token.size());

    std::string words;
    for (int i = 0; i < 200000; ++i) words += " w" + std::to_string(i);
    calls.clear();
    r = run("CREATE_PROJECT p app" + words);
    EXPECT_EQ(calls, (Calls{{"create_project", {"p", "app"}}}));
    EXPECT_EQ(r.out, syntax_error());
    r = run("FETCH_PROJECTS" + words);
    EXPECT_EQ(r.out, syntax_error() + help("FETCH_PROJECTS"));
    r = run(words);
    EXPECT_EQ(r.out, syntax_error());

    // A value list as long as the stack allows, and longer.
    std::string values;
    for (int i = 0; i < 100000; ++i) values += (i ? "," : "") + std::to_string(i);
    r = run("SEARCH p d i vector --query_vector [" + values + "]");
    EXPECT_EQ(r.out, error_lines("memory exhausted"));
    EXPECT_EQ(r.result, 2);
    r = run("INSERT_VECTOR_BATCH p d [a] [[" + values + "]]");
    EXPECT_EQ(r.out, error_lines("memory exhausted"));
}

TEST_F(ShellBadInput, TokenLengthCostsLinearTime) {
    // A read in small pieces would rescan the token after each: minutes for
    // this one.
    auto start = std::chrono::steady_clock::now();
    LineRun r = run("DELETE_VECTOR p d [" + std::string(32 << 20, 'i') + "]");
    auto took = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_LT(took, std::chrono::seconds(15));
}

TEST_F(ShellBadInput, NulAndBytesAbove127AreSkipped) {
    LineRun r = run(std::string("CREATE_PROJECT p\0q\xff\xfe r", 22));
    EXPECT_EQ(calls, (Calls{{"create_project", {"p", "q"}}}));
    EXPECT_EQ(r.out, syntax_error());

    for (int b = 0; b < 256; ++b) {
        if (b == '\n') continue;
        std::string line(1000, static_cast<char>(b));
        r = run(line);
        EXPECT_TRUE(r.result >= 0 && r.result <= 2) << b;
    }
}

TEST_F(ShellBadInput, UnbalancedBrackets) {
    const char* lines[] = {
        "[[[[[[[[[[[[[[[[",
        "]]]]]]]]]]]]]]]]",
        "INSERT_VECTOR p d id [[[[",
        "INSERT_VECTOR_BATCH p d [a] [[1], [2]",
        "INSERT_VECTOR_BATCH p d [a [[1]]",
        "SEARCH p d i vector --query_vector [1, [2]]",
        "SEARCH p d i vector --target_values ]",
        "UPLOAD p f --attributes [[a]]",
        "DELETE_VECTOR p d [[a]]",
        "INSERT_VECTOR p d id [1:2:3]",
        "INSERT_VECTOR p d id [::,,]",
    };
    for (const char* line : lines) {
        calls.clear();
        LineRun r = run(line);
        EXPECT_TRUE(calls.empty()) << line;
        EXPECT_NE(r.out.find("\033[31m[ERROR] syntax error\033[0m"), std::string::npos) << line;
    }
    // A statement complete before the stray brackets runs first.
    LineRun r = run("INSERT_VECTOR p d id [1, 2]]]]");
    EXPECT_EQ(calls, (Calls{{"insert_vector_dense", {"p", "d", "id", R"(["1","2"])", "{}"}}}));
    EXPECT_EQ(r.out, syntax_error());
}

TEST_F(ShellBadInput, RandomTokenSequences) {
    const std::vector<std::string> vocab = {
        "ATTACH_INDEX", "INIT_DATASET", "CREATE_PROJECT", "DELETE_DATASET", "DELETE_INDEX",
        "DELETE_PROJECT", "DELETE_VECTOR", "FETCH_DATASETS", "FETCH_PROJECTS", "INSERT_VECTOR",
        "INSERT_VECTOR_BATCH", "LIST_INDEX", "SEARCH", "UPLOAD", "HELP", "-h", "--dim",
        "--vector_attributes", "--top_k", "--target_values", "--query_vector", "--file_format",
        "--has_field_names", "--binary_dim", "--attributes", "--dataset_name",
        "--query_dataset_name", "-[a-zA-Z0-9_]+", "[", "]", ",", ":", "w", "1", "csv", "yes",
        "sparse", "\n", "\"", "$HOME", "\xff", std::string(1, '\0')};
    std::mt19937 rng(12345);
    for (int i = 0; i < 20000; ++i) {
        std::string line;
        int n = static_cast<int>(rng() % 16);
        for (int k = 0; k < n; ++k) line += vocab[rng() % vocab.size()] + " ";
        // Deletions read their answer from this input.
        LineRun r = run(line, (rng() % 2) ? "y\n" : "");
        ASSERT_TRUE(r.result >= 0 && r.result <= 2) << line;
    }
}

TEST_F(ShellBadInput, NoTemporaryFile) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 256);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    bool ran = true;
    auto o = test_support::capture([&] {
        // No descriptor left for the line's temporary file.
        std::vector<int> fds;
        for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) fds.push_back(fd);
        ran = shell::run_command_line("FETCH_PROJECTS\n");
        for (int fd : fds) close(fd);
    });
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_FALSE(ran);
    EXPECT_EQ(o.err, "Error creating temp file for input\n");
    EXPECT_EQ(o.out, "");
    EXPECT_TRUE(calls.empty());
}

TEST(ShellBadInputBinary, ThroughThePipeAndTheArguments) {
    fake::FakeService service;
    std::string input = std::string(3 << 20, 'x') + "\n";
    input += std::string("HELP\0\xff\n", 7);
    input += "[[[[[[[ ]]]]]\n";
    for (int i = 0; i < 50000; ++i) input += "w ";
    input += "\nHELP\n";
    test_support::RunOptions o;
    o.input = input;
    o.time_limit_seconds = 60;
    auto r = test_support::run_tarvo(service, o);
    EXPECT_EQ(r.exit_code, 0);
    // Every line was answered: the help twice, a syntax error for each of
    // the three other lines.
    std::string help_text = help("HELP");
    EXPECT_EQ(r.out.substr(r.out.size() - help_text.size()), help_text);
    size_t errors = 0, helps = 0;
    for (size_t at = 0; (at = r.out.find("[ERROR] syntax error", at)) != std::string::npos; ++at) ++errors;
    for (size_t at = 0; (at = r.out.find(help_text, at)) != std::string::npos; ++at) ++helps;
    EXPECT_EQ(errors, 3u);
    EXPECT_EQ(helps, 2u);

    o = {};
    o.args = {std::string(100000, 'y'), std::string("\xc3\xa9\x01")};
    r = test_support::run_tarvo(service, o);
    EXPECT_EQ(r.exit_code, 0);
}

}  // namespace
