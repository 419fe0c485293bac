// The service side of the answers fuzzer: the fake service on 127.0.0.1 with
// the client pointed at it, answering each path from a script of bodies that
// is replaced before every input. This file and its .cpp are built without
// coverage instrumentation, so the server's thread adds no noise to what the
// fuzzer sees.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fake {
class FakeService;
}

namespace fuzz {

// Paths as the fake sees them.
inline constexpr const char* kLoginPath = "/bk/validate-api-key";
inline constexpr const char* kAttachStatusPath = "/api/get_attach_index_status";
inline constexpr const char* kUploadStatusPath = "/api/get_upload_data_status";

// What a job status path answers once its script has run out: the job is
// finished, so every poll ends.
inline constexpr const char* kFinishedAnswer =
    R"({"error_message":"Done","status":"finished","success":true})";

class ScriptedService {
public:
    // Starts the fake and points server_base_url and account_service_url at it.
    ScriptedService();
    ~ScriptedService();

    // Replaces every script and forgets what was received. Each request to a
    // path takes the next body of its script as a status-200 answer; a path
    // whose script is empty answers kFinishedAnswer on a status path and {}
    // elsewhere.
    void script(std::map<std::string, std::deque<std::string>> bodies);

    // Requests received on a path since the last script().
    size_t requests(const std::string& path) const;
    // What a strict service would have refused since the last script().
    std::vector<std::string> problems() const;

private:
    std::unique_ptr<fake::FakeService> service_;
    mutable std::mutex mutex_;
    std::map<std::string, std::deque<std::string>> scripts_;
};

}  // namespace fuzz
