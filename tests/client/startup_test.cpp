// Start-up of the real binary against the fake service: banner, login from
// the environment or the prompt, and the version check's exit status.
#include <gtest/gtest.h>

#include "fake/fake_service.h"
#include "support/capture.h"
#include "support/process.h"

using test_support::RunOptions;
using test_support::run_tarvo;

namespace {

std::string intro(const fake::FakeService& s) {
    return "\n\n"
           " ████████╗ █████╗ ██████╗ ██╗   ██╗ ██████╗ \n"
           " ╚══██╔══╝██╔══██╗██╔══██╗██║   ██║██╔═══██╗\n"
           "    ██║   ███████║██████╔╝██║   ██║██║   ██║\n"
           "    ██║   ██╔══██║██╔══██╗╚██╗ ██╔╝██║   ██║\n"
           "    ██║   ██║  ██║██║  ██║ ╚████╔╝ ╚██████╔╝\n"
           "    ╚═╝   ╚═╝  ╚═╝╚═╝  ╚═╝  ╚═══╝   ╚═════╝ \n"
           "\n"
           "Welcome to use Tarvo database Command Line Interface (CLI), version 1.0.0. Get ready to "
           "connect with your Tarvo database, easily!\n"
           "\n"
           "To get started, please enter your Tarvo API key to login. You can get the API after "
           "registering at " +
           s.base_url() + "/user-api-keys.\n\n";
}

const std::string kLoginOk = "\033[32m[SUCCESS] Login successful!\033[0m\n";
const std::string kRefusedErr = "\033[31m[ERROR] Invalid API key\033[0m\n";

bool starts_with(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

TEST(Startup, KeyFromTheEnvironment) {
    fake::FakeService service;
    auto r = run_tarvo(service, RunOptions{});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(starts_with(r.out, intro(service) + "Found Tarvo API key, validating...\n" + kLoginOk +
                                       "Logged in successfully! Username: tester\n\n"))
        << r.out;
    EXPECT_EQ(service.requests("/api/check_cli_version").size(), 1u);
}

TEST(Startup, RefusedEnvironmentKeyThenThePrompt) {
    fake::FakeService service;
    RunOptions o;
    o.env["TARVO_API_KEY"] = "bad";
    o.input = "wrong\ntest-key\n";
    auto r = run_tarvo(service, o);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(starts_with(r.out, intro(service) + "Found Tarvo API key, validating...\n"
                                       "Failed to authenticate. Please enter a valid API key.\n"
                                       "No global Tarvo API key found. Please...\n"
                                       "Failed to authenticate. Please try again with a valid API key.\n" +
                                       kLoginOk + "Logged in successfully! Username: tester\n\n"))
        << r.out;
    EXPECT_TRUE(starts_with(r.err, kRefusedErr + kRefusedErr)) << r.err;
    auto keys = service.requests("/bk/validate-api-key");
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0].header("X-API-Key"), "bad");
    EXPECT_EQ(keys[1].header("X-API-Key"), "wrong");
    EXPECT_EQ(keys[2].header("X-API-Key"), "test-key");
}

TEST(Startup, EmptyEnvironmentKeyCountsAsUnset) {
    fake::FakeService service;
    RunOptions o;
    o.env["TARVO_API_KEY"] = "";
    o.input = "test-key\n";
    auto r = run_tarvo(service, o);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(starts_with(r.out, intro(service) + "No global Tarvo API key found. Please...\n" + kLoginOk))
        << r.out;
}

TEST(Startup, ClosedInputAtThePromptEndsWithStatusZero) {
    fake::FakeService service;
    RunOptions o;
    o.unset_env = {"TARVO_API_KEY"};
    auto r = run_tarvo(service, o);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, intro(service) + "No global Tarvo API key found. Please...\n\nInput canceled. Exiting...\n");
    EXPECT_TRUE(service.requests("/bk/validate-api-key").empty());
    EXPECT_TRUE(service.requests("/api/check_cli_version").empty());
}

TEST(Startup, RefusedVersionEndsWithStatusOne) {
    fake::FakeService service;
    service.set("/api/check_cli_version", fake::Reply{200, R"({"message":"Please upgrade","success":false})"});
    RunOptions o;
    o.args = {"FETCH_PROJECTS"};
    auto r = run_tarvo(service, o);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.out.size() >= 40 &&
                r.out.substr(r.out.size() - test_support::red("Please upgrade").size()) ==
                    test_support::red("Please upgrade"))
        << r.out;
    EXPECT_TRUE(service.requests("/api/fetch_projects").empty());
}

TEST(Startup, UnreachableServiceEndsWithStatusOne) {
    fake::FakeService service;
    RunOptions o;
    o.env["TARVO_TEST_API_URL"] =
        "http://127.0.0.1:" + std::to_string(test_support::unused_loopback_port()) + "/api";
    auto r = run_tarvo(service, o);
    EXPECT_EQ(r.exit_code, 1);
    std::string line = test_support::red("Error checking CLI version with server, status code: 0");
    EXPECT_NE(r.out.find(kLoginOk), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - line.size()), line) << r.out;
}

// In a real terminal: the prompt shows, the typed key echoes, and Ctrl-C or
// Ctrl-D ends the process with status 0.
std::string terminal_command(const fake::FakeService& service) {
    std::string cmd = "env -u TARVO_API_KEY";
    for (const auto& [k, v] : test_support::tarvo_env(service)) cmd += " " + k + "=" + v;
    return cmd + " " TARVO_TEST_BINARY;
}

TEST(StartupTerminal, CtrlCAtTheKeyPromptEndsWithStatusZero) {
    fake::FakeService service;
    test_support::TmuxSession term(terminal_command(service));
    ASSERT_TRUE(term.wait_for("Enter your Tarvo API key:")) << term.screen();
    term.type("half-typed");
    ASSERT_TRUE(term.wait_for("half-typed"));
    term.send_keys({"C-c"});
    EXPECT_EQ(term.wait_exit(), 0) << term.screen();
    EXPECT_NE(term.screen().find("Input canceled. Exiting..."), std::string::npos) << term.screen();
    EXPECT_TRUE(service.requests("/bk/validate-api-key").empty());
}

TEST(StartupTerminal, CtrlDAtAnEmptyKeyPromptEndsWithStatusZero) {
    fake::FakeService service;
    test_support::TmuxSession term(terminal_command(service));
    ASSERT_TRUE(term.wait_for("Enter your Tarvo API key:")) << term.screen();
    term.type("nope");
    term.send_keys({"Enter"});
    ASSERT_TRUE(term.wait_for("Please try again with a valid API key.")) << term.screen();
    term.send_keys({"C-d"});
    EXPECT_EQ(term.wait_exit(), 0) << term.screen();
    EXPECT_NE(term.screen().find("Input canceled. Exiting..."), std::string::npos) << term.screen();
}
