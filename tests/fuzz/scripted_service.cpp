#include "scripted_service.h"

#include <string>

#include "client/handlers.h"
#include "client/helpers.h"
#include "client/rate_limiter.h"
#include "client/seams.h"
#include "client/state.h"
#include "fake/fake_service.h"

namespace fuzz {
namespace {

// Every path a handler of the service client may ask.
const char* const kPaths[] = {
    kLoginPath,
    "/api/check_cli_version",
    "/api/create_project",
    "/api/init",
    "/api/delete_project",
    "/api/delete_dataset",
    "/api/delete_index",
    "/api/fetch_projects",
    "/api/fetch_datasets",
    "/api/list_index_infos",
    "/api/attach_index",
    kAttachStatusPath,
    "/api/add_data",
    "/api/add_data_batch",
    kUploadStatusPath,
    "/api/remove_data",
    "/api/search",
};

bool is_status_path(const std::string& path) {
    return path == kAttachStatusPath || path == kUploadStatusPath;
}

}  // namespace

ScriptedService::ScriptedService() : service_(std::make_unique<fake::FakeService>()) {
    server_base_url = service_->api_url();
    rest_client::account_service_url = service_->base_url();
    for (const char* p : kPaths) {
        const std::string path = p;
        service_->set(path, fake::Handler([this, path](const fake::Request&) {
            std::lock_guard<std::mutex> lock(mutex_);
            auto& queue = scripts_[path];
            if (queue.empty())
                return fake::Reply{200, is_status_path(path) ? kFinishedAnswer : "{}"};
            fake::Reply reply{200, std::move(queue.front())};
            queue.pop_front();
            return reply;
        }));
    }
}

ScriptedService::~ScriptedService() = default;

void ScriptedService::script(std::map<std::string, std::deque<std::string>> bodies) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scripts_ = std::move(bodies);
    }
    service_->clear_log();
}

size_t ScriptedService::requests(const std::string& path) const {
    return service_->requests(path).size();
}

std::vector<std::string> ScriptedService::problems() const { return service_->problems(); }

}  // namespace fuzz
