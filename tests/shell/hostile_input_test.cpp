// The real binary against input meant to hurt: keys and service answers with
// control characters, a disk that takes no more bytes, a data file with no
// end of line.
#include <gtest/gtest.h>

#include "fake/fake_service.h"
#include "support/process.h"

namespace {

using test_support::RunOptions;
using test_support::RunResult;

// tarvo-test run by the shell after `limits` (ulimit lines), so that the
// limits apply to the client alone.
RunResult run_limited(const fake::FakeService& service, const std::string& limits,
                      const std::string& args, const std::string& input = "") {
    RunOptions o;
    o.args = {"-c", limits + "; exec " TARVO_TEST_BINARY " " + args};
    o.env = test_support::tarvo_env(service);
    o.env["TARVO_API_KEY"] = fake::FakeService::kValidKey;
    o.input = input;
    return test_support::run_program("/bin/sh", o);
}

}  // namespace

TEST(HostileInput, KeyWithALineBreakIsNeverSent) {
    fake::FakeService service;
    RunOptions o;
    o.env["TARVO_API_KEY"] = "k1\r\nX-Injected: from-env";
    o.input = "";  // the prompt that follows meets the end of input
    const RunResult r = test_support::run_tarvo(service, o);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.err.find("Invalid API key: it contains control characters"), std::string::npos);
    EXPECT_NE(r.out.find("Failed to authenticate. Please enter a valid API key."), std::string::npos);
    EXPECT_NE(r.out.find("Input canceled. Exiting..."), std::string::npos);
    EXPECT_TRUE(service.requests().empty());
}

TEST(HostileInput, ServiceTextCannotDriveTheTerminal) {
    fake::FakeService service;
    service.set("/api/create_project", fake::Reply{500, "\x1b]0;owned\x07\x1b[2J\r\xc2\x9b" "31m"});
    RunOptions o;
    o.args = {"CREATE_PROJECT", "p", "search"};
    const RunResult r = test_support::run_tarvo(service, o);
    EXPECT_NE(r.out.find("\x1b[31m[ERROR] Create project failed! Status: 500\nResponse: "
                         "\\x1b]0;owned\\x07\\x1b[2J\\x0d\\xc2\\x9b31m\x1b[0m\n"),
              std::string::npos)
        << r.out;
}

TEST(HostileInput, FullTemporaryDirectoryIsNoSyntaxError) {
    fake::FakeService service;
    // No file may grow (pipes still work), and the signal that would kill
    // the writer is ignored, as under a full disk the write just fails.
    const std::string no_space = "trap '' XFSZ; ulimit -f 0";
    RunResult r = run_limited(service, no_space, "FETCH_PROJECTS");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("Error writing temp file for input"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("syntax error"), std::string::npos) << r.out;
    EXPECT_TRUE(service.requests("/api/fetch_projects").empty());

    r = run_limited(service, no_space, "", "FETCH_PROJECTS\nexit\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("Bye!"), std::string::npos);
    EXPECT_EQ(r.out.find("syntax error"), std::string::npos) << r.out;
}

#if !defined(__SANITIZE_ADDRESS__)  // the sanitizer cannot run under an address-space limit
TEST(HostileInput, LineTooLongToHoldIsAReadFailure) {
    fake::FakeService service;
    const RunResult r =
        run_limited(service, "ulimit -v 1000000",
                    "UPLOAD p /dev/zero --dataset_name d --file_format csv --vector_type dense "
                    "--has_field_names true");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("Error in upload: Failed to read file: /dev/zero"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Successfully uploaded"), std::string::npos);
    EXPECT_TRUE(service.requests("/api/upload").empty());
}
#endif
