// The one way the command handlers talk to the service: announce, build the
// request object, pass the rate limiter, serialise, POST, apply the status
// rule, and catch. Handlers state only what differs.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
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

// Parses a response text; no comments, errors thrown. A text nested deeper
// than 1000 levels is refused with a parse error.
json parse_json(const std::string& text);

// POSTs a compact JSON body with the Content-Type header to base URL + path.
// No rate-limit gate: callers that must pass it call check_rate_limit first.
net::Response post_json(const std::string& path, const std::string& body);
// The same, the body being the concatenation of the parts (sent without
// joining them first).
net::Response post_json(const std::string& path, const std::vector<std::string_view>& body_parts);

struct ServiceCall {
    std::string announcement;      // print_info line; empty prints none
    std::string path;              // endpoint path, e.g. "/create_project"
    std::string failure_phrase;    // e.g. "Create project failed! Status: "
    std::string response_separator = "\nResponse: ";
    std::string catch_prefix;      // e.g. "Error in handle_create_project: "
    // Adds the handler's keys (user_api_key is already there) and checks the
    // arguments; throwing here sends nothing.
    std::function<void(json& request)> build;
    // Reads a status-200 answer; its result is the handler's result.
    std::function<bool(const net::Response& response)> on_success;
};

// Thrown by a build step that has already printed its own error lines:
// nothing is sent, no catch line follows, and the call returns false.
struct CallStopped : std::exception {
    const char* what() const noexcept override { return "call stopped"; }
};

// Runs one service call; returns false after any error line.
bool run_service_call(const ServiceCall& call);

// ---- server jobs -------------------------------------------------------------------

// All waits between polls go through here, so tests can replace them.
using SleepFunction = std::function<void(std::chrono::milliseconds)>;
void sleep_for(std::chrono::milliseconds duration);
// Replaces the sleep; an empty function restores the real one.
void set_sleep_function(SleepFunction fn);

enum class JobState { http_error, invalid, pending, in_progress, finished, failed, unknown };

struct JobStatus {
    JobState state = JobState::invalid;
    json answer;  // the parsed status answer (when there was one)
};

// Builds the status request of a job: job_id and user_api_key.
json make_status_request(const std::string& job_id);

// One status request. Prints "Server error: returned status ..." for a status
// other than 200 and "Server returned invalid response" for an answer that is
// not an object with success and status. Parse and type errors throw.
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
