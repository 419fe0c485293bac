// libFuzzer target over the service's answers: every handler of the service
// client asks the fake service on 127.0.0.1, which answers each request with
// status 200 and a body taken from the input.
//
// Input: the first byte picks the handler; the rest, split on the byte 0x1E
// (never part of a JSON text), gives the successive answer bodies. They go to
// the handler's requests in order: the attach gets the dataset lookup, the
// attach request, then its status polls; the dense batch gets the batch
// request, then its status polls. A status path whose answers have run out
// answers "finished", so every poll ends.
//
// Within a body, the byte 0x1D followed by bytes N and B stands for B written
// (N + 1) * 1024 times, so short inputs can stand for long answers (deep
// nesting, long numbers and blanks); at most 1 MiB of runs per input.
//
// Beyond "no crash, no hang" each input checks: no path is asked more often
// than it has answers (plus the one "finished"), no poll sleeps more often
// than it asks, every request is one a strict service takes, and a handler
// that returns true was given an answer that says so.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/handlers.h"
#include "client/helpers.h"
#include "client/rate_limiter.h"
#include "client/seams.h"
#include "client/state.h"
#include "client/service_call.h"
#include "fake/fake_service.h"
#include "scripted_service.h"

namespace {

using json = nlohmann::json;
using Bodies = std::vector<std::string>;
constexpr char kSeparator = '\x1e';
constexpr char kRun = '\x1d';
constexpr size_t kRunUnit = 1024;
constexpr size_t kMaxRunBytes = 1 << 20;

json parse(const std::string& text) { return json::parse(text, nullptr, false); }

bool is_object_with(const json& j, const char* key) { return j.is_object() && j.contains(key); }

// The answer a request took: its body, or the script's fallback.
std::string answer(const Bodies& bodies, size_t i, const char* fallback) {
    return i < bodies.size() ? bodies[i] : fallback;
}

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "answers_fuzzer: %s\n", what);
    std::abort();
}

struct Target {
    const char* name;
    std::vector<std::string> paths;  // one answer each, in order
    std::string poll_path;           // the rest of the answers; empty for none
    std::function<bool()> run;
    // Checks a true result against the answers the requests took: `first`
    // are those of `paths` ("{}" when missing), `polls` those of the poll.
    std::function<void(const Bodies& first, const Bodies& polls, size_t poll_count)> on_true;
};

// True results of a poll: its last answer said "finished".
void finished_last(const Bodies&, const Bodies& polls, size_t count) {
    check(count > 0, "true without a status request");
    const json last = parse(answer(polls, count - 1, fuzz::kFinishedAnswer));
    check(is_object_with(last, "status") && last["status"] == "finished",
          "true although the job did not finish");
}

void listing_true(const Bodies& first, const char* key) {
    const json a = parse(first[0]);
    check(is_object_with(a, key) && a[key].is_array(), "listing true without its array");
}

void error_code_success(const Bodies& first, const Bodies&, size_t) {
    const json a = parse(first[0]);
    check(is_object_with(a, "error_code") && a["error_code"] == "Success",
          "true without the error code Success");
}

void always_true(const Bodies&, const Bodies&, size_t) {}

std::vector<Target> make_targets() {
    using rest_client::OptionMap;
    return {
        {"check_cli_version", {"/api/check_cli_version"}, "",
         [] { return rest_client::handle_check_cli_version(); },
         [](const Bodies& first, const Bodies&, size_t) {
             const json a = parse(first[0]);
             check(is_object_with(a, "success") && a["success"] == true,
                   "version check true without success");
         }},
        {"login", {fuzz::kLoginPath}, "",
         [] { return rest_client::handle_login_with_api_key(fake::FakeService::kValidKey); },
         [](const Bodies& first, const Bodies&, size_t) {
             const json a = parse(first[0]);
             check(is_object_with(a, "user_id") && is_object_with(a, "username") &&
                       a["username"] == rest_client::username &&
                       a["user_id"] == rest_client::session_token,
                   "login true without the user it names");
         }},
        {"create_project", {"/api/create_project"}, "",
         [] { return rest_client::handle_create_project("p", "search"); }, always_true},
        {"init_dataset", {"/api/init"}, "",
         [] { return rest_client::handle_init_dataset("p", "d", "dense", "3"); }, always_true},
        {"delete_project", {"/api/delete_project"}, "",
         [] { return rest_client::handle_delete_project("p"); }, always_true},
        {"delete_dataset", {"/api/delete_dataset"}, "",
         [] { return rest_client::handle_delete_dataset("p", "d"); }, always_true},
        {"delete_index", {"/api/delete_index"}, "",
         [] { return rest_client::handle_delete_index("p", "d", "i"); }, always_true},
        {"fetch_projects", {"/api/fetch_projects"}, "",
         [] { return rest_client::handle_fetch_projects(); },
         [](const Bodies& first, const Bodies&, size_t) { listing_true(first, "projects"); }},
        {"fetch_datasets", {"/api/fetch_datasets"}, "",
         [] { return rest_client::handle_fetch_datasets("p"); },
         [](const Bodies& first, const Bodies&, size_t) { listing_true(first, "datasets"); }},
        {"list_index_infos", {"/api/list_index_infos"}, "",
         [] { return rest_client::handle_list_index_infos("p", "d"); },
         [](const Bodies& first, const Bodies&, size_t) { listing_true(first, "index_infos"); }},
        {"attach_index", {"/api/fetch_datasets", "/api/attach_index"}, fuzz::kAttachStatusPath,
         [] {
             const bool large = false;
             return rest_client::handle_attach_index("p", "d", "i", "cosine", large);
         },
         finished_last},
        {"insert_dense", {"/api/add_data"}, "",
         [] {
             return rest_client::handle_insert_vector("p", "d", "v", std::vector<std::string>{"1", "2.5"},
                                                      OptionMap{});
         },
         error_code_success},
        {"insert_sparse", {"/api/add_data"}, "",
         [] {
             return rest_client::handle_insert_vector("p", "d", "v", std::string(R"({"1":"0.5"})"),
                                                      OptionMap{});
         },
         error_code_success},
        {"insert_batch_dense", {"/api/add_data_batch"}, fuzz::kUploadStatusPath,
         [] {
             return rest_client::handle_insert_vector_batch(
                 "p", "d", {"a", "b"}, std::vector<std::vector<std::string>>{{"1", "2"}, {"3", "4"}},
                 OptionMap{});
         },
         finished_last},
        {"insert_batch_sparse", {"/api/add_data_batch"}, "",
         [] {
             return rest_client::handle_insert_vector_batch(
                 "p", "d", {"a", "b"}, std::vector<std::string>{R"({"1":"0.5"})", R"({"2":"1"})"},
                 OptionMap{});
         },
         always_true},
        {"delete_vector", {"/api/remove_data"}, "",
         [] { return rest_client::handle_delete_vector("p", "d", {"a", "b"}); },
         error_code_success},
        {"search", {"/api/search"}, "",
         [] {
             return rest_client::handle_search(
                 "p", "d", "i", "vector",
                 OptionMap{{"query_vector", R"(["0.1","0.2"])"}, {"top_k", "3"}});
         },
         [](const Bodies& first, const Bodies&, size_t) {
             const json a = parse(first[0]);
             check(is_object_with(a, "results") && a["results"].is_array(),
                   "search true without results");
         }},
    };
}

std::unique_ptr<fuzz::ScriptedService> service;
std::vector<Target> targets;
size_t sleeps = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    service = std::make_unique<fuzz::ScriptedService>();
    targets = make_targets();
    rest_client::seams().sleep = ([](std::chrono::milliseconds) { ++sleeps; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const Target& target = targets[data[0] % targets.size()];

    Bodies segments;
    std::string current;
    size_t run_bytes = 0;
    for (size_t i = 1; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == kSeparator) {
            segments.push_back(std::move(current));
            current.clear();
        } else if (c == kRun) {
            if (i + 2 >= size) break;
            const size_t length = (data[i + 1] + size_t{1}) * kRunUnit;
            if (run_bytes + length <= kMaxRunBytes) {
                current.append(length, static_cast<char>(data[i + 2]));
                run_bytes += length;
            }
            i += 2;
        } else {
            current.push_back(c);
        }
    }
    segments.push_back(std::move(current));

    // Each path gets its answers; a path named twice keeps them in order.
    std::map<std::string, std::deque<std::string>> script;
    Bodies first, polls;
    size_t next = 0;
    for (const std::string& path : target.paths) {
        if (next < segments.size()) {
            first.push_back(segments[next]);
            script[path].push_back(segments[next++]);
        } else {
            first.push_back("{}");
        }
    }
    if (!target.poll_path.empty())
        for (; next < segments.size(); ++next) {
            polls.push_back(segments[next]);
            script[target.poll_path].push_back(segments[next]);
        }

    service->script(std::move(script));
    rest_client::record.timestamps.clear();
    rest_client::user_api_key = fake::FakeService::kValidKey;
    rest_client::username.clear();
    rest_client::session_token.clear();
    sleeps = 0;

    const bool result = target.run();

    std::map<std::string, size_t> allowed;
    for (const std::string& path : target.paths) ++allowed[path];
    for (const auto& [path, count] : allowed)
        check(service->requests(path) <= count, "a path was asked more than once");
    size_t poll_count = 0;
    if (!target.poll_path.empty()) {
        poll_count = service->requests(target.poll_path);
        check(poll_count <= polls.size() + 1, "the poll asked past its answers");
        check(sleeps <= poll_count, "the poll slept more often than it asked");
    } else {
        check(sleeps == 0, "a handler without a poll slept");
    }
    const auto problems = service->problems();
    if (!problems.empty()) {
        for (const auto& p : problems) std::fprintf(stderr, "fake service: %s\n", p.c_str());
        check(false, "a request a strict service would refuse");
    }
    if (result) target.on_true(first, polls, poll_count);
    return 0;
}
