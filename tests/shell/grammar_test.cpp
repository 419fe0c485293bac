// The grammar frame and the management statements: each line's handler
// calls, output lines and parser result.
#include "shell_harness.h"

namespace {

using namespace shell_test;

struct Case {
    std::string line;
    std::string input;  // standard input (confirmations)
    std::vector<Call> calls;
    std::string out;
    std::string err;
    int result;
};

class ShellGrammar : public ShellTest {
protected:
    void check(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            calls.clear();
            LineRun r = run(c.line, c.input);
            EXPECT_EQ(calls, c.calls) << c.line;
            EXPECT_EQ(r.out, c.out) << c.line;
            EXPECT_EQ(r.err, c.err) << c.line;
            EXPECT_EQ(r.result, c.result) << c.line;
        }
    }
};

const std::string kLargeIndexError = error_lines(
    "Invalid value for large_index. Expected one of: \"true\", \"false\", \"yes\", \"no\", "
    "\"1\", \"0\".");

std::string attaching(const std::string& flag) {
    return debug_line("Attaching index 'i' to dataset 'd' with large_index=" + flag + "...");
}

TEST_F(ShellGrammar, EmptyLinesHelpAndStrayWords) {
    check({
        {"", "", {}, "", "", 0},
        {"   ", "", {}, "", "", 0},
        {"HELP", "", {}, help("HELP"), "", 0},
        {"help", "", {}, help("HELP"), "", 0},
        {"HELP -h", "", {}, help("HELP") + syntax_error(), "", 1},
        {"HELP HELP", "", {}, help("HELP") + syntax_error(), "", 1},
        {"anything -h", "", {}, help("HELP"), "", 0},
        {"anything --H", "", {}, help("HELP"), "", 0},
        {"-h", "", {}, syntax_error(), "", 1},
        {"x y", "", {}, syntax_error(), "", 1},
        {"x", "", {}, syntax_error(), "", 1},
        {"--top_k 5", "", {}, syntax_error(), "", 1},
        {"[ ] , :", "", {}, syntax_error(), "", 1},
        {"LIST_INDEX_INFO p d", "", {}, syntax_error(), "", 1},
    });
}

TEST_F(ShellGrammar, EveryCommandWordWithTheHelpFlag) {
    const std::pair<const char*, const char*> words[] = {
        {"ATTACH_INDEX", "ATTACH_INDEX"},     {"INIT_DATASET", "INIT_DATASET"},
        {"CREATE_PROJECT", "CREATE_PROJECT"}, {"DELETE_DATASET", "DELETE_DATASET"},
        {"DELETE_VECTOR", "DELETE_VECTOR"},   {"DELETE_PROJECT", "DELETE_PROJECT"},
        {"DELETE_INDEX", "DELETE_INDEX"},     {"FETCH_DATASETS", "FETCH_DATASETS"},
        {"FETCH_PROJECTS", "FETCH_PROJECTS"}, {"INSERT_VECTOR", "INSERT_VECTOR"},
        {"INSERT_VECTOR_BATCH", "INSERT_VECTOR_BATCH"}, {"list_index", "LIST_INDEX"},
        {"search", "SEARCH"},                 {"Upload", "UPLOAD"}};
    for (const auto& [word, command] : words) {
        std::string w = word;
        check({
            {w + " -h", "", {}, help(command), "", 0},
            {w + " --h", "", {}, help(command), "", 0},
            // Words after the help flag come after a completed statement.
            {w + " -h more", "", {}, help(command) + syntax_error(), "", 1},
            // A malformed statement: the error, then the command's help.
            {w + " :", "", {}, syntax_error() + help(command), "", 1},
        });
    }
    // Missing words: the newline is the offending token, so the line ends
    // normally after the help.
    for (const char* line : {"ATTACH_INDEX p d i", "INIT_DATASET p d", "CREATE_PROJECT p",
                             "DELETE_DATASET p", "DELETE_VECTOR p d", "DELETE_PROJECT",
                             "DELETE_INDEX p d", "FETCH_DATASETS", "INSERT_VECTOR p d id",
                             "INSERT_VECTOR_BATCH p d [a]", "LIST_INDEX p", "SEARCH p d i",
                             "UPLOAD p"}) {
        calls.clear();
        LineRun r = run(line);
        std::string command = std::string(line).substr(0, std::string(line).find(' '));
        EXPECT_EQ(r.out, syntax_error() + help(command)) << line;
        EXPECT_EQ(r.result, 0) << line;
        EXPECT_TRUE(calls.empty()) << line;
    }
}

TEST_F(ShellGrammar, FetchAndList) {
    check({
        {"FETCH_PROJECTS", "", {{"fetch_projects", {}}}, "", "", 0},
        {"fetch_projects", "", {{"fetch_projects", {}}}, "", "", 0},
        {"FETCH_PROJECTS -h", "", {}, help("FETCH_PROJECTS"), "", 0},
        // Only the newline can follow the keyword: nothing is fetched.
        {"FETCH_PROJECTS x", "", {}, syntax_error() + help("FETCH_PROJECTS"), "", 1},
        {"FETCH_DATASETS p", "", {{"fetch_datasets", {"p"}}}, "",
         debug_line("Fetch datasets done."), 0},
        {"FETCH_DATASETS p q", "", {{"fetch_datasets", {"p"}}}, syntax_error(),
         debug_line("Fetch datasets done."), 1},
        {"LIST_INDEX p d", "", {{"list_index_infos", {"p", "d"}}}, "", "", 0},
        {"LIST_INDEX p d e", "", {{"list_index_infos", {"p", "d"}}}, syntax_error(), "", 1},
    });
}

TEST_F(ShellGrammar, CreateProject) {
    check({
        {"CREATE_PROJECT p search", "", {{"create_project", {"p", "search"}}}, "", "", 0},
        {"CREATE_PROJECT p SeArCh", "", {{"create_project", {"p", "search"}}}, "", "", 0},
        {"create_project p autoML", "", {{"create_project", {"p", "autoML"}}}, "", "", 0},
        {"CREATE_PROJECT p", "", {}, syntax_error() + help("CREATE_PROJECT"), "", 0},
        // The statement runs as soon as its last word is read.
        {"CREATE_PROJECT p app extra", "", {{"create_project", {"p", "app"}}}, syntax_error(), "",
         1},
        {"CREATE_PROJECT p app -h", "", {{"create_project", {"p", "app"}}}, syntax_error(), "", 1},
        {"CREATE_PROJECT \"my project\" both", "", {{"create_project", {"my", "project"}}},
         syntax_error(), "", 1},
        {"CREATE_PROJECT SEARCH x", "", {}, syntax_error() + help("CREATE_PROJECT"), "", 1},
        {"CREATE_PROJECT p\nFETCH_PROJECTS", "", {}, syntax_error() + help("CREATE_PROJECT"), "",
         1},
        {"CREATE_PROJECT p q\nFETCH_PROJECTS", "", {{"create_project", {"p", "q"}}},
         syntax_error(), "", 1},
    });
}

TEST_F(ShellGrammar, AttachIndex) {
    std::vector<Case> cases = {
        {"ATTACH_INDEX p d i L2", "", {{"attach_index", {"p", "d", "i", "L2", "false"}}}, "",
         attaching("false"), 0},
        {"ATTACH_INDEX p d i L2 maybe", "", {}, kLargeIndexError, "", 1},
        {"ATTACH_INDEX p d i L2 maybe more", "", {}, kLargeIndexError, "", 1},
        // The optional sixth word is not there: the help flag ends the
        // statement, which runs, and is then a syntax error.
        {"ATTACH_INDEX p d i L2 -h", "", {{"attach_index", {"p", "d", "i", "L2", "false"}}},
         syntax_error(), attaching("false"), 1},
        {"ATTACH_INDEX p d i L2 true x", "", {{"attach_index", {"p", "d", "i", "L2", "true"}}},
         syntax_error(), attaching("true"), 1},
        {"ATTACH_INDEX p d i L2 --large_index true", "", {}, kLargeIndexError, "", 1},
    };
    for (const char* yes : {"true", "TRUE", "yes", "YES", "Yes", "1"})
        cases.push_back({std::string("ATTACH_INDEX p d i L2 ") + yes, "",
                         {{"attach_index", {"p", "d", "i", "L2", "true"}}}, "", attaching("true"),
                         0});
    for (const char* no : {"false", "False", "no", "NO", "0"})
        cases.push_back({std::string("ATTACH_INDEX p d i L2 ") + no, "",
                         {{"attach_index", {"p", "d", "i", "L2", "false"}}}, "",
                         attaching("false"), 0});
    for (const char* bad : {"01", "truee", "y", "n", "2", "on"})
        cases.push_back({std::string("ATTACH_INDEX p d i L2 ") + bad, "", {}, kLargeIndexError,
                         "", 1});
    check(cases);
}

TEST_F(ShellGrammar, InitDataset) {
    const std::string missing =
        error_lines("vector_dim is required for non-sparse vector types") + help("INIT_DATASET");
    const std::string ignored = warning_line("vector_dim is ignored for sparse vector type");
    check({
        {"INIT_DATASET p d dense", "", {}, missing, "", 1},
        {"INIT_DATASET p d sparse", "", {{"init_dataset", {"p", "d", "sparse", "0"}}}, "", "", 0},
        {"INIT_DATASET p d Sparse", "", {}, missing, "", 1},
        {"INIT_DATASET p d sparse 64", "", {{"init_dataset", {"p", "d", "sparse", "64"}}},
         ignored, "", 0},
        {"INIT_DATASET p d dense 128", "", {{"init_dataset", {"p", "d", "dense", "128"}}}, "",
         "", 0},
        // The dimension word is passed as typed.
        {"INIT_DATASET p d dense abc", "", {{"init_dataset", {"p", "d", "dense", "abc"}}}, "",
         "", 0},
        // --dim is no continuation: the three-word form runs.
        {"INIT_DATASET p d dense --dim 128", "", {}, missing, "", 1},
        {"INIT_DATASET p d sparse --dim 128", "", {{"init_dataset", {"p", "d", "sparse", "0"}}},
         syntax_error(), "", 1},
        {"INIT_DATASET p d dense 128 x", "", {{"init_dataset", {"p", "d", "dense", "128"}}},
         syntax_error(), "", 1},
    });
}

TEST_F(ShellGrammar, DeleteConfirmations) {
    const std::string ask_dataset =
        "\033[33mAre you sure you want to delete dataset 'd' in project'p'? [y/N]: \033[0m";
    const std::string ask_project =
        "\033[33mAre you sure you want to delete project 'p'? [y/N]: \033[0m";
    const std::string ask_index =
        "\033[33mAre you sure you want to delete index 'i' from dataset 'd'? [y/N]: \033[0m\n";
    const std::string cancelled = "\033[31mDeletion cancelled.\033[0m\n";
    const std::string cancelled_project = "\033[31mDeletion cancelled\033[0m\n";
    const Call dataset{"delete_dataset", {"p", "d"}};
    const Call project{"delete_project", {"p"}};
    const Call index{"delete_index", {"p", "d", "i"}};
    const std::string done = debug_line("Delete index done.");

    std::vector<Case> cases;
    for (const char* yes : {"y\n", "Y\n", "y", "y\nmore\n"}) {
        cases.push_back({"DELETE_DATASET p d", yes, {dataset}, ask_dataset, "", 0});
        cases.push_back({"DELETE_PROJECT p", yes, {project}, ask_project, "", 0});
        cases.push_back({"DELETE_INDEX p d i", yes, {index}, ask_index, done, 0});
    }
    for (const char* no : {"yes\n", " y\n", "y \n", "\n", "", "n\n", "N\n", "Y\r\n", "yy\n"}) {
        cases.push_back({"DELETE_DATASET p d", no, {}, ask_dataset + cancelled, "", 0});
        cases.push_back({"DELETE_PROJECT p", no, {}, ask_project + cancelled_project, "", 0});
        cases.push_back({"DELETE_INDEX p d i", no, {}, ask_index + cancelled, "", 0});
    }
    // The statement is complete before the help flag is read: it asks, and
    // deletes, before the syntax error.
    cases.push_back({"DELETE_PROJECT p -h", "y\n", {project}, ask_project + syntax_error(), "", 1});
    cases.push_back({"DELETE_PROJECT p -h", "\n", {}, ask_project + cancelled_project +
                     syntax_error(), "", 1});
    cases.push_back({"DELETE_PROJECT -h", "y\n", {}, help("DELETE_PROJECT"), "", 0});
    cases.push_back({"delete_dataset p", "y\n", {}, syntax_error() + help("DELETE_DATASET"), "",
                     0});
    check(cases);
}

TEST_F(ShellGrammar, ConfirmationsReadOneLineEach) {
    // Two deletions read two answers from the same input, one line each.
    std::istringstream in("n\ny\n");
    std::streambuf* saved = std::cin.rdbuf(in.rdbuf());
    auto o = test_support::capture([] {
        shell::parse_command_line("DELETE_PROJECT a\n");
        shell::parse_command_line("DELETE_PROJECT b\n");
        shell::parse_command_line("DELETE_PROJECT c\n");
    });
    std::cin.rdbuf(saved);
    EXPECT_EQ(calls, (std::vector<Call>{{"delete_project", {"b"}}}));
    EXPECT_EQ(o.out,
              "\033[33mAre you sure you want to delete project 'a'? [y/N]: \033[0m"
              "\033[31mDeletion cancelled\033[0m\n"
              "\033[33mAre you sure you want to delete project 'b'? [y/N]: \033[0m"
              "\033[33mAre you sure you want to delete project 'c'? [y/N]: \033[0m"
              "\033[31mDeletion cancelled\033[0m\n");
}

TEST_F(ShellGrammar, KeywordsCannotBeValues) {
    check({
        {"FETCH_DATASETS search", "", {}, syntax_error() + help("FETCH_DATASETS"), "", 1},
        {"DELETE_PROJECT upload", "", {}, syntax_error() + help("DELETE_PROJECT"), "", 1},
        {"LIST_INDEX p HELP", "", {}, syntax_error() + help("LIST_INDEX"), "", 1},
        {"CREATE_PROJECT p --top_k", "", {}, syntax_error() + help("CREATE_PROJECT"), "", 1},
    });
}

TEST_F(ShellGrammar, EveryLineStartsAfresh) {
    // A line abandoned in the middle leaves nothing behind for the next.
    run("INSERT_VECTOR p d id [1, 2, 3");
    run("CREATE_PROJECT p app extra words here");
    run("SEARCH p d i vector --top_k 3 --top_k 4");
    calls.clear();
    LineRun r = run("CREATE_PROJECT p app");
    EXPECT_EQ(calls, (std::vector<Call>{{"create_project", {"p", "app"}}}));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.result, 0);
}

}  // namespace
