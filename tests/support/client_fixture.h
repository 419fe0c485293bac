// In-process tests of the service client against the fake service, through
// the real HTTP layer. Sleeps between polls are recorded, never taken, and
// the rate limiter starts empty.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "client/handlers.h"
#include "client/helpers.h"
#include "client/rate_limiter.h"
#include "client/seams.h"
#include "client/state.h"
#include "client/service_call.h"
#include "fake/fake_service.h"
#include "support/capture.h"

namespace test_support {

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Request bodies the fake service received on an API path ("/create_project").
    std::vector<std::string> bodies(const std::string& api_path) const;
    // The service saw nothing a strict service would refuse.
    void expect_no_problems() const;

    std::unique_ptr<fake::FakeService> service;
    std::vector<std::chrono::milliseconds> sleeps;
    std::unique_ptr<rest_client::SeamsGuard> seams_guard;
};

}  // namespace test_support
