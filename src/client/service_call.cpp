#include "client/service_call.h"

#include <cerrno>
#include <ctime>
#include <exception>

#include "client/rest_client.h"

namespace rest_client {

std::string serialize(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::strict);
}

namespace {

// The library parses without recursion, but copies, comparisons and the
// writer recurse once per level: a deeply nested answer would overflow the
// stack. No text the client reads comes near this depth.
constexpr int kMaxJsonDepth = 1000;

// Throws the library's parse error at the first bracket that opens a level
// past the limit. Brackets inside strings do not count.
void check_json_depth(const std::string& text) {
    int depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxJsonDepth)
                throw json::parse_error::create(
                    101, i + 1,
                    "syntax error - JSON nested deeper than " + std::to_string(kMaxJsonDepth) +
                        " levels",
                    nullptr);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
}

}  // namespace

json parse_json(const std::string& text) {
    check_json_depth(text);
    return json::parse(text, nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/false);
}

net::Response post_json(const std::string& path, const std::string& body) {
    return net::post(server_base_url + path, {{"Content-Type", "application/json"}}, body);
}

net::Response post_json(const std::string& path, const std::vector<std::string_view>& body_parts) {
    return net::post(server_base_url + path, {{"Content-Type", "application/json"}}, body_parts);
}

bool run_service_call(const ServiceCall& call) {
    try {
        if (!call.announcement.empty()) print_info(call.announcement);
        json request = json::object();
        request["user_api_key"] = user_api_key;
        if (call.build) call.build(request);
        check_rate_limit();
        const std::string body = serialize(request);
        net::Response response = post_json(call.path, body);
        if (response.status != 200) {
            print_error(call.failure_phrase + std::to_string(response.status) +
                        call.response_separator + response.text);
            return false;
        }
        return call.on_success ? call.on_success(response) : true;
    } catch (const CallStopped&) {
        return false;
    } catch (const std::exception& e) {
        print_error(call.catch_prefix + e.what());
        return false;
    }
}

// ---- server jobs -------------------------------------------------------------------

namespace {

SleepFunction& sleep_function() {
    static SleepFunction fn;
    return fn;
}

// A full-length wait: an interruption by a signal resumes for the time left.
void real_sleep(std::chrono::milliseconds duration) {
    timespec left{static_cast<time_t>(duration.count() / 1000),
                  static_cast<long>(duration.count() % 1000) * 1000000L};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

}  // namespace

void sleep_for(std::chrono::milliseconds duration) {
    const auto& fn = sleep_function();
    if (fn)
        fn(duration);
    else
        real_sleep(duration);
}

void set_sleep_function(SleepFunction fn) { sleep_function() = std::move(fn); }

json make_status_request(const std::string& job_id) {
    json request = json::object();
    request["job_id"] = job_id;
    request["user_api_key"] = user_api_key;
    return request;
}

JobStatus poll_job_once(const std::string& path, const json& status_request) {
    JobStatus result;
    net::Response response = post_json(path, serialize(status_request));
    if (response.status != 200) {
        print_error("Server error: returned status " + std::to_string(response.status) +
                    " due to " + response.text);
        result.state = JobState::http_error;
        return result;
    }
    result.answer = parse_json(response.text);
    const json& a = result.answer;
    if (!a.is_object() || !a.contains("success") || !a.contains("status")) {
        print_error("Server returned invalid response");
        result.state = JobState::invalid;
        return result;
    }
    const std::string status = a.at("status").get<std::string>();
    if (status == "pending")
        result.state = JobState::pending;
    else if (status == "in_progress")
        result.state = JobState::in_progress;
    else if (status == "finished")
        result.state = JobState::finished;
    else if (status == "failed")
        result.state = JobState::failed;
    else {
        print_error("Server returned unknown status");
        result.state = JobState::unknown;
    }
    return result;
}

JobStatus poll_job(const std::string& path, const json& status_request,
                   std::chrono::milliseconds interval,
                   const std::function<void(JobState)>& on_waiting) {
    for (;;) {
        JobStatus status = poll_job_once(path, status_request);
        if (status.state != JobState::pending && status.state != JobState::in_progress)
            return status;
        if (on_waiting) on_waiting(status.state);
        sleep_for(interval);
    }
}

void print_job_failure(const std::string& prefix, const json& answer) {
    if (answer.is_object() && answer.contains("error"))
        print_error(prefix + ": " + answer.at("error").get<std::string>());
    else
        print_error(prefix);
}

}  // namespace rest_client
