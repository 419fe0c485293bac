// A service that misbehaves under a running shell: each failing command
// prints its line for that outcome, and the shell goes on to the next one.
#include <gtest/gtest.h>

#include "fake/fake_service.h"
#include "support/capture.h"
#include "support/misbehaving_server.h"
#include "support/process.h"

using test_support::Behaviour;
using test_support::MisbehavingServer;
using test_support::red;

namespace {

test_support::RunResult run_against(const fake::FakeService& account, const MisbehavingServer& api,
                                    const std::string& input) {
    test_support::RunOptions o;
    o.env["TARVO_TEST_API_URL"] = api.url("/api");
    o.input = input;
    return test_support::run_tarvo(account, o);
}

}  // namespace

TEST(FaultSession, EveryFailureEndsOnlyItsOwnLine) {
    fake::FakeService account;
    MisbehavingServer api;
    api.set("/api/check_cli_version", Behaviour::reply(200, R"({"message":"ok","success":true})"));
    api.push("/api/fetch_projects", Behaviour::close_before_answer());
    api.push("/api/fetch_projects", Behaviour::close_mid_headers());
    api.push("/api/fetch_projects", Behaviour::close_mid_body(R"({"projects":[]})"));
    api.push("/api/create_project", Behaviour::reply(502, "bad gateway"));
    api.push("/api/create_project", Behaviour::reply(503, "unavailable"));
    api.push("/api/fetch_datasets", Behaviour::redirects_then(51, Behaviour::reply(200, R"({"datasets":[]})")));
    api.push("/api/list_index_infos", Behaviour::reply(500, "boom"));
    api.push("/api/remove_data",
             Behaviour::delayed(std::chrono::milliseconds(300), Behaviour::reply(200, R"({"error_code":"Success"})")));
    auto r = run_against(account, api,
                         "FETCH_PROJECTS\nFETCH_PROJECTS\nFETCH_PROJECTS\n"
                         "CREATE_PROJECT p search\nCREATE_PROJECT p search\n"
                         "FETCH_DATASETS p\nLIST_INDEX p d\nDELETE_VECTOR p d [a]\nexit\n");
    EXPECT_EQ(r.exit_code, 0);
    const std::string expected[] = {
        red("Projects fetch failed! Status: 0\nResponse: "),
        red("Create project failed! Status: 502\nResponse: bad gateway"),
        red("Create project failed! Status: 503\nResponse: unavailable"),
        red("Datasets fetch failed! Status: 0\nResponse: "),
        red("Listing index information failed! Status: 500\nResponse: boom"),
        test_support::green("Successfully deleted 1 vectors from dataset d") + "Bye!\n",
    };
    size_t at = 0;
    for (const auto& line : expected) {
        size_t found = r.out.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n---\n" << r.out;
        at = found + line.size();
    }
    // The three broken fetches each print the status-0 line.
    size_t zero = 0;
    for (size_t p = r.out.find(expected[0]); p != std::string::npos; p = r.out.find(expected[0], p + 1)) ++zero;
    EXPECT_EQ(zero, 3u) << r.out;
}

TEST(FaultSession, SelfSignedCertificateIsRefusedBeforeAnyBodyIsSent) {
    fake::FakeService account;
    MisbehavingServer api(MisbehavingServer::Transport::tls_self_signed);
    api.set("/api/check_cli_version", Behaviour::reply(200, R"({"message":"ok","success":true})"));
    auto r = run_against(account, api, "FETCH_PROJECTS\n");
    EXPECT_EQ(r.exit_code, 1);
    const std::string line = red("Error checking CLI version with server, status code: 0");
    ASSERT_GE(r.out.size(), line.size());
    EXPECT_EQ(r.out.substr(r.out.size() - line.size()), line);
    EXPECT_EQ(api.bytes_received(), 0u);
    EXPECT_TRUE(api.requests().empty());
}
