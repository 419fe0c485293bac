#include "support/client_fixture.h"

#include "client/rate_limiter.h"

namespace test_support {

void ClientTest::SetUp() {
    service = std::make_unique<fake::FakeService>();
    server_base_url = service->api_url();
    rest_client::account_service_url = service->base_url();
    rest_client::user_api_key = fake::FakeService::kValidKey;
    rest_client::record.timestamps.clear();
    seams_guard = std::make_unique<rest_client::SeamsGuard>();
    rest_client::seams().sleep = [this](std::chrono::milliseconds d) { sleeps.push_back(d); };
}

void ClientTest::TearDown() {
    seams_guard.reset();
    service.reset();
}

std::vector<std::string> ClientTest::bodies(const std::string& api_path) const {
    std::vector<std::string> out;
    for (const auto& r : service->requests("/api" + api_path)) out.push_back(r.body);
    return out;
}

void ClientTest::expect_no_problems() const {
    for (const auto& p : service->problems()) ADD_FAILURE() << "fake service: " << p;
}

}  // namespace test_support
