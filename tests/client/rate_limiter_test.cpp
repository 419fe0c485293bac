// The operation limiter: 10 operations per sliding 3000 ms window, with the
// clock under the test's control.
#include <gtest/gtest.h>

#include <stdexcept>

#include "client/rate_limiter.h"
#include "client/handlers.h"
#include "client/helpers.h"
#include "client/rate_limiter.h"
#include "client/seams.h"
#include "client/state.h"
#include "support/client_fixture.h"

using namespace rest_client;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::steady_clock;

namespace {

class RateLimiter : public ::testing::Test {
protected:
    void SetUp() override {
        record.timestamps.clear();
        seams().clock = ([this] { return t0 + now; });
    }
    void TearDown() override { seams().clock = nullptr; }
    bool at(long ms) {
        now = milliseconds(ms);
        return rate_limit();
    }
    steady_clock::time_point t0 = steady_clock::time_point(std::chrono::hours(1000));
    nanoseconds now{0};
};

const char* const kRefusal =
    "\033[31m[Tarvo] Request limit reached, please try again later. If you are inserting multiple "
    "vectors, please use INSERT_VECTOR_BATCH.\033[0m\n";

}  // namespace

TEST_F(RateLimiter, TenPassEleventhIsRefusedAndRecordedTwelfthIsNot) {
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(at(i)) << i;
    EXPECT_TRUE(at(10));
    EXPECT_EQ(record.timestamps.size(), 11u);
    EXPECT_TRUE(at(11));
    EXPECT_EQ(record.timestamps.size(), 11u);
}

TEST_F(RateLimiter, OneAgedEntryIsNotEnoughAfterARefusal) {
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(at(i * 100));
    EXPECT_TRUE(at(1000));
    // Only the entry of 0 ms has aged out: the call is refused and recorded.
    EXPECT_TRUE(at(3050));
    EXPECT_EQ(record.timestamps.size(), 11u);
    // 100 ms ages out next; again only one entry leaves.
    EXPECT_TRUE(at(3150));
    // Two leave (200 and 300 ms): the call passes.
    EXPECT_FALSE(at(3350));
}

TEST_F(RateLimiter, AgeCountsInWholeMilliseconds) {
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(at(0));
    // 3000.9 ms truncates to 3000, which still counts.
    now = nanoseconds(3000900000);
    EXPECT_TRUE(rate_limit());
    EXPECT_EQ(record.timestamps.size(), 11u);
    record.timestamps.pop_back();
    now = milliseconds(3001);
    EXPECT_FALSE(rate_limit());
    EXPECT_EQ(record.timestamps.size(), 1u);
}

TEST_F(RateLimiter, GatePrintsItsLineAndThrows) {
    for (int i = 0; i < 10; ++i) now = milliseconds(i), check_rate_limit();
    auto o = test_support::capture([] {
        try {
            check_rate_limit();
            ADD_FAILURE() << "no refusal";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Too many operations in a short time period!");
        }
    });
    EXPECT_EQ(o.out, kRefusal);
    EXPECT_EQ(o.err, "");
}

// A refused request sends nothing: the handler's catch line follows the
// limiter's own, and the service sees no request.
class RateLimitedCall : public test_support::ClientTest {};

TEST_F(RateLimitedCall, RefusedCallSendsNothing) {
    seams().clock = ([] { return steady_clock::time_point(std::chrono::hours(5)); });
    for (int i = 0; i < 10; ++i) rate_limit();
    ServiceCall call;
    call.announcement = "Doing...";
    call.path = "/fetch_projects";
    call.failure_phrase = "Projects fetch failed! Status: ";
    call.catch_prefix = "Error in handle_fetch_projects: ";
    bool result = true;
    auto o = test_support::capture([&] { result = run_service_call(call); });
    EXPECT_FALSE(result);
    EXPECT_EQ(o.out, std::string(kRefusal) +
                         test_support::red("Error in handle_fetch_projects: Too many operations in a "
                                           "short time period!"));
    EXPECT_EQ(o.err, test_support::info("Doing..."));
    EXPECT_TRUE(service->requests().empty());
}
