// API-key login and the client version check against the fake service,
// through the real HTTP layer.
#include <gtest/gtest.h>

#include "client/handlers.h"
#include "client/helpers.h"
#include "client/rate_limiter.h"
#include "client/seams.h"
#include "client/state.h"
#include "support/client_fixture.h"
#include "support/process.h"

using namespace rest_client;
using test_support::capture;
using test_support::red;

namespace {

std::string red_err(const std::string& m) { return "\033[31m[ERROR] " + m + "\033[0m\n"; }

// `levels` nested empty arrays.
std::string nested(size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); }

class Login : public test_support::ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        user_api_key.clear();
    }
};

}  // namespace

TEST_F(Login, AcceptedKeyStoresCredentials) {
    bool ok = false;
    auto o = capture([&] { ok = handle_login_with_api_key("test-key"); });
    EXPECT_TRUE(ok);
    EXPECT_EQ(o.out, "\033[32m[SUCCESS] Login successful!\033[0m\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(user_api_key, "test-key");
    EXPECT_EQ(session_token, "user-1");
    EXPECT_EQ(username, "tester");
    auto sent = service->requests("/bk/validate-api-key");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "GET");
    EXPECT_EQ(sent[0].body, "");
    EXPECT_EQ(sent[0].header("X-API-Key"), "test-key");
    EXPECT_EQ(sent[0].header("Accept"), "*/*");
    EXPECT_EQ(sent[0].header("Cache-Control"), "no-cache");
    EXPECT_EQ(sent[0].header("Connection"), "keep-alive");
    // The login does not pass the rate limiter.
    EXPECT_TRUE(record.timestamps.empty());
}

TEST_F(Login, EveryRefusalIsOneErrorLineOnStandardError) {
    struct Case {
        int status;
        std::string body;
        std::string line;
    } cases[] = {
        {200, R"({"detail":"Invalid API key"})", "Invalid API key"},
        {200, R"({"user_id":"u","detail":"no name"})", "no name"},
        {200, R"({"user_id":"u"})", "Unexpected response format: {\"user_id\":\"u\"}"},
        {200, R"([1,2])", "Unexpected response format: [1,2]"},
        {200, R"("text")", "Unexpected response format: \"text\""},
        {200, "null", "Unexpected response format: null"},
        {200, "{}", "Unexpected response format: {}"},
        {401, "denied", "Login failed! Status code: 401\nResponse: denied"},
        {403, "", "Login failed! Status code: 403\nResponse: "},
    };
    for (const auto& c : cases) {
        service->push("/bk/validate-api-key", {c.status, c.body});
        bool ok = true;
        auto o = capture([&] { ok = handle_login_with_api_key("k"); });
        EXPECT_FALSE(ok) << c.body;
        EXPECT_EQ(o.err, red_err(c.line)) << c.body;
        EXPECT_EQ(o.out, "") << c.body;
    }
    EXPECT_EQ(user_api_key, "");
}

TEST_F(Login, MalformedAnswersAreReportedAsExceptions) {
    for (const char* body : {"not json", R"({"user_id":7,"username":"x"})", R"({"detail":5})", ""}) {
        service->push("/bk/validate-api-key", {200, body});
        bool ok = true;
        auto o = capture([&] { ok = handle_login_with_api_key("k"); });
        EXPECT_FALSE(ok);
        EXPECT_EQ(o.err.rfind("\033[31m[ERROR] Exception in handle_login: [json.exception.", 0), 0u) << o.err;
    }
    EXPECT_EQ(user_api_key, "");
    EXPECT_EQ(session_token, "");
}

TEST_F(Login, UnreachableAccountServiceIsStatusZero) {
    account_service_url = "http://127.0.0.1:" + std::to_string(test_support::unused_loopback_port());
    bool ok = true;
    auto o = capture([&] { ok = handle_login_with_api_key("k"); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(o.err, red_err("Login failed! Status code: 0\nResponse: "));
}

class VersionCheck : public test_support::ClientTest {};

TEST_F(VersionCheck, AcceptedVersionPrintsNothingAndIsTheFirstRecordedOperation) {
    bool ok = false;
    auto o = capture([&] { ok = handle_check_cli_version(); });
    EXPECT_TRUE(ok);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(bodies("/check_cli_version"),
              std::vector<std::string>{R"({"cli_version":"1.0.0","user_api_key":"test-key"})"});
    EXPECT_EQ(record.timestamps.size(), 1u);
    expect_no_problems();
}

TEST_F(VersionCheck, EveryRefusalIsOneErrorLine) {
    struct Case {
        int status;
        std::string body;
        std::string line;
    } cases[] = {
        {200, R"({"success":false,"message":"Please upgrade"})", "Please upgrade"},
        {200, R"({"success":false,"message":42})", "42"},
        {200, R"({"success":false,"message":{"a":"b"}})", "{\"a\":\"b\"}"},
        {200, R"({"success":true})", "Server returned incorrect response format"},
        {200, R"({"success":"true","message":"x"})", "Server returned incorrect response format"},
        {200, R"({"message":"x"})", "Server returned incorrect response format"},
        {200, R"([true])", "Server returned incorrect response format"},
        {200, "", "Server returned incorrect response format"},
        {200, "<html>", "Server returned incorrect response format"},
        // A message is shown as its JSON text up to 1000 levels; deeper is not well formed.
        {200, R"({"success":false,"message":)" + nested(999) + "}", nested(999)},
        {200, R"({"success":false,"message":)" + nested(1000) + "}",
         "Server returned incorrect response format"},
        {200, R"({"success":false,"message":)" + nested(100000) + "}",
         "Server returned incorrect response format"},
        {426, "upgrade", "Error checking CLI version with server, status code: 426"},
        {500, "", "Error checking CLI version with server, status code: 500"},
    };
    for (const auto& c : cases) {
        service->push("/api/check_cli_version", {c.status, c.body});
        record.timestamps.clear();
        bool ok = true;
        auto o = capture([&] { ok = handle_check_cli_version(); });
        EXPECT_FALSE(ok) << c.body;
        EXPECT_EQ(o.out, red(c.line)) << c.body;
    }
}

TEST_F(VersionCheck, UnreachableServiceIsStatusZero) {
    server_base_url = "http://127.0.0.1:" + std::to_string(test_support::unused_loopback_port()) + "/api";
    bool ok = true;
    auto o = capture([&] { ok = handle_check_cli_version(); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(o.out, red("Error checking CLI version with server, status code: 0"));
}
