// The real build/tarvo-test binary against the fake service: one-shot mode,
// the interactive shell through a pipe, and in a real terminal (tmux).
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client/handlers.h"
#include "client/helpers.h"
#include "client/rate_limiter.h"
#include "client/seams.h"
#include "client/state.h"
#include "fake/fake_service.h"
#include "shell/help_texts.h"
#include "support/process.h"

namespace {

using test_support::run_tarvo;
using test_support::RunOptions;
using test_support::RunResult;

const std::string kHint =
    "Use COMMAND_NAME -h to find the format of a command or HELP to get the list of all valid "
    "commands\n";
const std::string kSyntaxError = "\033[31m[ERROR] syntax error\033[0m\n" + kHint;
const std::string kLoggedIn = "Logged in successfully! Username: tester\n\n";

std::string welcome() {
    return "Welcome to use Tarvo database Command Line Interface (CLI)!\n"
           "You can manage your projects and data collections, construct indices, and search "
           "for queries.\n"
           "Please see " +
           rest_client::sdk_docs_url +
           " for documentation.\n"
           "\n\n"
           "Use 'HELP' to see the list of commands\n"
           "For each command, you can type 'COMMAND -h' to see help.\n"
           "Type 'exit' to exit.\n";
}

std::string help(const std::string& command) {
    std::string out;
    for (const char* line : help_lines(command)) out += std::string(line) + "\n";
    return out;
}

// What the program wrote after the login lines.
std::string after_login(const RunResult& r) {
    size_t at = r.out.find(kLoggedIn);
    if (at == std::string::npos) return "<no login>" + r.out;
    return r.out.substr(at + kLoggedIn.size());
}

class ShellBinary : public ::testing::Test {
protected:
    RunResult one_shot(std::vector<std::string> args, std::string input = "") {
        RunOptions o;
        o.args = std::move(args);
        o.input = std::move(input);
        return run_tarvo(service, o);
    }
    RunResult interactive(std::string input) {
        RunOptions o;
        o.input = std::move(input);
        return run_tarvo(service, o);
    }
    fake::FakeService service;
};

TEST_F(ShellBinary, OneShotRunsOneLineAndEndsWithZero) {
    // The start-up runs first, then the command, with no welcome lines.
    RunResult r = one_shot({"HELP"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(after_login(r), help("HELP"));
    EXPECT_EQ(service.requests("/api/check_cli_version").size(), 1u);

    r = one_shot({"NO_SUCH_COMMAND"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(after_login(r), kSyntaxError);

    // Arguments are joined with a blank after each: one that holds blanks
    // becomes several words.
    r = one_shot({"CREATE_PROJECT -h", "extra"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(after_login(r), help("CREATE_PROJECT") + kSyntaxError);

    // A newline inside an argument starts a second line: one statement per line.
    r = one_shot({"HELP\nHELP"});
    EXPECT_EQ(after_login(r), help("HELP") + kSyntaxError);

    // Trace lines go to standard error.
    r = one_shot({"FETCH_DATASETS", "p"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.err.find("\033[32m[Tarvo] Fetch datasets done.\033[0m\n"), std::string::npos);
    EXPECT_EQ(r.out.find("syntax error"), std::string::npos);
}

TEST_F(ShellBinary, OneShotEndsWithZeroWhenTheServiceFails) {
    service.set("/api/fetch_projects", fake::Reply{500, "broken"});
    RunResult r = one_shot({"FETCH_PROJECTS"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.find("syntax error"), std::string::npos);
}

TEST_F(ShellBinary, OneShotConfirmationsReadStandardInput) {
    RunResult r = one_shot({"DELETE_PROJECT", "p"}, "n\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(after_login(r),
              "\033[33mAre you sure you want to delete project 'p'? [y/N]: \033[0m"
              "\033[31mDeletion cancelled\033[0m\n");
    EXPECT_TRUE(service.requests("/api/delete_project").empty());

    r = one_shot({"DELETE_DATASET", "p", "d"});  // no input at all
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(after_login(r).find("\033[31mDeletion cancelled.\033[0m\n"), std::string::npos);
}

TEST_F(ShellBinary, FailedVersionCheckEndsWithOne) {
    service.set("/api/check_cli_version", fake::Reply{500, "no"});
    RunResult r = one_shot({"HELP"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(after_login(r),
              "\033[31m[ERROR] Error checking CLI version with server, status code: 500\033[0m\n");

    r = interactive("HELP\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out.find("Welcome to use Tarvo database Command Line Interface (CLI)!\n"),
              std::string::npos);
}

TEST_F(ShellBinary, InteractiveThroughAPipe) {
    // End of input: status 0, no message.
    RunResult r = interactive("");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(after_login(r), welcome());

    for (const char* word : {"exit", "quit", "e", "q"}) {
        r = interactive(std::string(word) + "\nHELP\n");
        EXPECT_EQ(r.exit_code, 0) << word;
        EXPECT_EQ(after_login(r), welcome() + "Bye!\n") << word;
    }

    // Empty and blank lines are parsed silently; a last line without a
    // newline still runs.
    r = interactive("\n   \n\t\nHELP");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(after_login(r), welcome() + help("HELP"));

    // Exit words are whole lines, case-sensitive, untrimmed.
    r = interactive("EXIT\n exit\nexit now\nquit \nq\n");
    EXPECT_EQ(after_login(r), welcome() + kSyntaxError + kSyntaxError + kSyntaxError +
                                  kSyntaxError + "Bye!\n");

    // A failing line ends only itself.
    r = interactive("CREATE_PROJECT p\nBOGUS\nFETCH_PROJECTS -h\nexit\n");
    EXPECT_EQ(after_login(r), welcome() + kSyntaxError + help("CREATE_PROJECT") + kSyntaxError +
                                  help("FETCH_PROJECTS") + "Bye!\n");
}

TEST_F(ShellBinary, InteractiveConfirmationTakesTheNextLine) {
    RunResult r = interactive("DELETE_PROJECT p\nn\nHELP -h\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(after_login(r), welcome() +
                                  "\033[33mAre you sure you want to delete project 'p'? [y/N]: "
                                  "\033[0m\033[31mDeletion cancelled\033[0m\n" +
                                  help("HELP") + kSyntaxError);
}

TEST_F(ShellBinary, OptionStatementsEndToEnd) {
    RunResult r = one_shot({"search", "p", "d", "i", "vector", "-TOP_K=5", "--query_vector",
                            "[1,", "2,]"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("[Tarvo] search_options: top_k = 5\n"
                         "[Tarvo] search_options: query_vector = [\"1\",\"2\"]\n"
                         "[Tarvo] search_options: top_k = 5\n"),
              std::string::npos);
    EXPECT_NE(r.err.find("\033[32m[Tarvo] top_k\033[0m\n\033[32m[Tarvo] query_vector\033[0m\n"),
              std::string::npos);

    service.clear_log();
    r = one_shot({"SEARCH p d i vector --top_k 1 --top_k 2"});
    EXPECT_NE(r.out.find("\033[31m[ERROR] Repeated argument top_k\033[0m\n" + kHint),
              std::string::npos);
    EXPECT_TRUE(service.requests("/api/search").empty());

    r = one_shot({"UPLOAD", "p", "data.csv", "--file_format", "csv"});
    EXPECT_EQ(after_login(r),
              "\033[31m[ERROR] Missing required argument: --has_field_names (required for "
              "csv/json)\033[0m\n" +
                  kHint + help("UPLOAD"));
    EXPECT_TRUE(service.requests("/api/upload").empty());

    r = one_shot({"INSERT_VECTOR p d id [1] --vector_attributes [a:b] -vector_attributes [c:d]"});
    EXPECT_EQ(after_login(r), "\033[31m[ERROR] Repeated argument vector_attributes\033[0m\n" + kHint);
    EXPECT_TRUE(service.requests("/api/add_data").empty());
}

// ---- in a real terminal --------------------------------------------------------

class ShellTerminal : public ShellBinary {
protected:
    std::string command() const {
        std::string env;
        for (const auto& [k, v] : test_support::tarvo_env(service)) env += k + "=" + v + " ";
        return "env " + env + "TARVO_API_KEY=test-key " + TARVO_TEST_BINARY;
    }
    // What the screen shows after its last `marker`, trailing empty lines dropped.
    static std::string after_last(const std::string& screen, const std::string& marker) {
        size_t at = screen.rfind(marker);
        if (at == std::string::npos) return "(no " + marker + ")";
        std::string rest = screen.substr(at + marker.size());
        while (!rest.empty() && rest.back() == '\n') rest.pop_back();
        return rest;
    }
    static size_t count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }
};

TEST_F(ShellTerminal, TypingRecallingAndCtrlC) {
    test_support::TmuxSession t(command());
    // The pane drops trailing blanks: the prompt "> " shows as ">".
    ASSERT_TRUE(t.wait_for("Type 'exit' to exit.\n>\n"));
    t.type("help");
    t.send_keys({"Enter"});
    ASSERT_TRUE(t.wait_for("Use COMMAND_NAME -h to find out what each command does"));
    // Up recalls the line from the history.
    t.send_keys({"Up"});
    ASSERT_TRUE(t.wait_for("> help\n"));
    t.send_keys({"Enter"});
    for (int i = 0; i < 100 && count(t.screen(), "The following is the list of valid commands:") < 2; ++i)
        usleep(50000);
    EXPECT_EQ(count(t.screen(), "The following is the list of valid commands:"), 2u);
    t.type("half a line");
    ASSERT_TRUE(t.wait_for("> half a line"));
    t.send_keys({"C-c"});
    EXPECT_EQ(t.wait_exit(), 0);
    // Nothing is left after the line but the cursor's move to a fresh line.
    EXPECT_EQ(after_last(t.screen(), "> half a line"), "");
}

TEST_F(ShellTerminal, CtrlDAtAnEmptyPromptLeavesNothingOnTheScreen) {
    test_support::TmuxSession t(command());
    // The pane drops trailing blanks: the prompt "> " shows as ">".
    ASSERT_TRUE(t.wait_for("Type 'exit' to exit.\n>\n"));
    t.send_keys({"C-d"});
    EXPECT_EQ(t.wait_exit(), 0);
    EXPECT_EQ(after_last(t.screen(), "Type 'exit' to exit.\n"), ">");
}

TEST_F(ShellTerminal, NoEditorConfigurationFileIsRead) {
    // A ~/.editrc that would make Ctrl-T type a command.
    const std::string home = testing::TempDir() + "/tarvo_home_" + std::to_string(getpid());
    std::filesystem::create_directories(home);
    std::ofstream(home + "/.editrc") << "bind -s ^T FETCH_PROJECTS\n";
    test_support::TmuxSession t("HOME=" + home + " EDITRC=" + home + "/.editrc " + command());
    ASSERT_TRUE(t.wait_for("Type 'exit' to exit.\n>\n"));
    t.send_keys({"C-t"});
    t.type("exit");
    t.send_keys({"Enter"});
    EXPECT_EQ(t.wait_exit(), 0) << t.screen();
    EXPECT_EQ(after_last(t.screen(), "Type 'exit' to exit.\n"), "> exit\nBye!");
    EXPECT_TRUE(service.requests("/api/fetch_projects").empty());
    std::filesystem::remove_all(home);
}

TEST_F(ShellTerminal, ConfirmationAnswersStayOutOfTheHistory) {
    test_support::TmuxSession t(command());
    ASSERT_TRUE(t.wait_for("Type 'exit' to exit.\n>\n"));
    t.type("DELETE_PROJECT p");
    t.send_keys({"Enter"});
    ASSERT_TRUE(t.wait_for("[y/N]:"));
    t.type("n");
    t.send_keys({"Enter"});
    ASSERT_TRUE(t.wait_for("Deletion cancelled"));
    // The answer "n" is not in the history: Up brings back the statement.
    t.send_keys({"Up"});
    ASSERT_TRUE(t.wait_for("> DELETE_PROJECT p\n"));
    t.send_keys({"C-u"});
    t.type("exit");
    t.send_keys({"Enter"});
    EXPECT_EQ(t.wait_exit(), 0);
    EXPECT_NE(t.screen().find("Bye!"), std::string::npos);
    EXPECT_TRUE(service.requests("/api/delete_project").empty());
}

}  // namespace
