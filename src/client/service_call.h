// The one way the client talks to the service: announce, build the request
// object, pass the rate limiter, serialise, POST, apply the status rule, and
// catch. Callers state only what differs. Server jobs are followed with one
// poll loop on top of it.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/http.h"

namespace rest_client {

using json = nlohmann::json;

// Compact serialisation, keys in byte order, strict UTF-8 (a string that is
// not valid UTF-8 throws).
std::string serialize(const json& value);

// Service answers nested deeper than this are refused with a parse error:
// the library parses without recursion, but copies, comparisons and the
// writer recurse once per level. No answer the client reads comes near it.
constexpr size_t kMaxAnswerDepth = 1000;

// Parses a response text; no comments, errors thrown.
json parse_json(const std::string& text);

// The compact serialisation of a request object in which some string fields
// are kept outside the object (big Base64 texts, each given as its list of
// parts), as a list of parts pointing into those texts. The outside texts
// must need no JSON escaping (Base64 text), their keys must not be in the
// object, and they must outlive the body.
class RequestBody {
public:
    using Outside = std::map<std::string, std::vector<std::string_view>>;
    RequestBody(const json& request, const Outside& outside);
    const std::vector<std::string_view>& parts() const { return parts_; }
    size_t size() const;
    std::string joined() const;

private:
    std::vector<std::string> owned_;
    std::vector<std::string_view> parts_;
};

// One request to the service. Filled by field name; the explicit
// constructor keeps it from being filled by position.
struct ServiceCall {
    explicit ServiceCall() = default;

    std::string announcement;  // print_info line first; empty prints none
    std::string path;          // endpoint path, e.g. "/create_project"
    bool gated = true;         // passes the rate limiter (status polls do not)
    // Adds the caller's keys (user_api_key is already there) and checks the
    // arguments; throwing here sends nothing.
    std::function<void(json& request)> build;
    // Runs once the rate limiter has let the request through.
    std::function<void()> after_gate;
    // String fields sent from their parts rather than from the object.
    RequestBody::Outside outside;
    // A status other than 200 prints failure_phrase, the status and, when
    // there is a separator, the separator and the response text.
    std::string failure_phrase;  // e.g. "Create project failed! Status: "
    std::optional<std::string> response_separator = std::string("\nResponse: ");
    // Reads a status-200 answer; its result is the call's result.
    std::function<bool(const net::Response& response)> on_success;
    // The catch line's prefix, e.g. "Error in handle_create_project: ";
    // none: exceptions reach the caller.
    std::optional<std::string> catch_prefix;
};

// Thrown by a build step that has already printed its own error lines:
// nothing is sent, no catch line follows, and the call returns false.
struct CallStopped : std::exception {
    const char* what() const noexcept override { return "call stopped"; }
};

// Runs one service call; false after a failure line, a catch line or a
// false answer reading.
bool run_service_call(const ServiceCall& call);

// ---- server jobs -------------------------------------------------------------------

// Every wait between polls goes through here (seams().sleep in tests).
void sleep_for(std::chrono::milliseconds duration);

enum class JobState { http_error, invalid, pending, in_progress, finished, failed, unknown };

struct JobStatus {
    JobState state = JobState::invalid;
    json answer;  // the parsed status answer (when there was one)
};

// Builds the status request of a job: job_id and user_api_key.
json make_status_request(const std::string& job_id);

// One status request, not gated. Prints "Server error: returned status ..."
// for a status other than 200, "Server returned invalid response" for an
// answer that is not an object with success and status, and "Server
// returned unknown status". Parse and type errors throw.
JobStatus poll_job_once(const std::string& path, const json& status_request);

// Polls until the job leaves "pending"/"in_progress": after each of those it
// calls on_waiting(state) and sleeps the interval. Returns the last status.
JobStatus poll_job(const std::string& path, const json& status_request,
                   std::chrono::milliseconds interval,
                   const std::function<void(JobState)>& on_waiting);

// The "failed" line: prefix + ": " + error when the answer has one, else the
// prefix alone (e.g. "Server failed to upload").
void print_job_failure(const std::string& prefix, const json& answer);

}  // namespace rest_client
