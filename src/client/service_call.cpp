#include "client/service_call.h"

#include <cerrno>
#include <ctime>

#include "client/rate_limiter.h"
#include "client/seams.h"
#include "client/state.h"

namespace rest_client {

std::string serialize(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::strict);
}

namespace {

// Throws the library's parse error at the first bracket that opens a level
// past the limit. Brackets inside strings do not count.
void check_answer_depth(const std::string& text) {
    size_t depth = 0;
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
            if (++depth > kMaxAnswerDepth)
                throw json::parse_error::create(
                    101, i + 1,
                    "syntax error - JSON nested deeper than " + std::to_string(kMaxAnswerDepth) +
                        " levels",
                    nullptr);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
}

}  // namespace

json parse_json(const std::string& text) {
    check_answer_depth(text);
    return json::parse(text, nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/false);
}

// ---- request bodies --------------------------------------------------------------------

RequestBody::RequestBody(const json& request, const Outside& outside) {
    if (outside.empty()) {
        owned_.push_back(serialize(request));
        parts_.emplace_back(owned_.back());
        return;
    }
    json keys = request;
    for (const auto& entry : outside) keys[entry.first] = nullptr;

    // Segments in order: an owned text, or the parts of an outside text.
    struct Segment {
        size_t owned;  // index into owned_, or SIZE_MAX for an outside text
        const std::vector<std::string_view>* views;
    };
    std::vector<Segment> segments;
    std::string text = "{";
    for (auto it = keys.begin(); it != keys.end(); ++it) {
        if (it != keys.begin()) text += ',';
        text += serialize(json(it.key())) + ':';
        auto o = outside.find(it.key());
        if (o == outside.end()) {
            text += serialize(it.value());
            continue;
        }
        owned_.push_back(std::move(text) + '"');
        segments.push_back({owned_.size() - 1, nullptr});
        segments.push_back({SIZE_MAX, &o->second});
        text = "\"";
    }
    owned_.push_back(std::move(text) + '}');
    segments.push_back({owned_.size() - 1, nullptr});
    // Views into owned_ are taken only now that it no longer grows.
    for (const auto& s : segments) {
        if (s.owned != SIZE_MAX) {
            parts_.emplace_back(owned_[s.owned]);
            continue;
        }
        for (std::string_view v : *s.views)
            if (!v.empty()) parts_.push_back(v);
    }
}

size_t RequestBody::size() const {
    size_t n = 0;
    for (auto p : parts_) n += p.size();
    return n;
}

std::string RequestBody::joined() const {
    std::string out;
    out.reserve(size());
    for (auto p : parts_) out.append(p);
    return out;
}

// ---- the service call ------------------------------------------------------------------

namespace {

net::Response post(const ServiceCall& call) {
    json request = json::object();
    request["user_api_key"] = user_api_key;
    if (call.build) call.build(request);
    if (call.gated) check_rate_limit();
    if (call.after_gate) call.after_gate();
    const RequestBody body(request, call.outside);
    return net::post(server_base_url + call.path, {{"Content-Type", "application/json"}},
                     body.parts());
}

bool run_unguarded(const ServiceCall& call) {
    net::Response response = post(call);
    if (response.status != 200) {
        std::string line = call.failure_phrase + std::to_string(response.status);
        if (call.response_separator) line += *call.response_separator + response.text;
        print_error(line);
        return false;
    }
    return call.on_success ? call.on_success(response) : true;
}

}  // namespace

bool run_service_call(const ServiceCall& call) {
    try {
        if (!call.announcement.empty()) print_info(call.announcement);
        return run_unguarded(call);
    } catch (const CallStopped&) {
        return false;
    } catch (const std::exception& e) {
        if (!call.catch_prefix) throw;
        print_error(*call.catch_prefix + e.what());
        return false;
    }
}

// ---- server jobs -------------------------------------------------------------------

namespace {

// A full-length wait: an interruption by a signal resumes for the time left.
void real_sleep(std::chrono::milliseconds duration) {
    timespec left{static_cast<time_t>(duration.count() / 1000),
                  static_cast<long>(duration.count() % 1000) * 1000000L};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

JobState job_state(const std::string& status) {
    if (status == "pending") return JobState::pending;
    if (status == "in_progress") return JobState::in_progress;
    if (status == "finished") return JobState::finished;
    if (status == "failed") return JobState::failed;
    print_error("Server returned unknown status");
    return JobState::unknown;
}

}  // namespace

void sleep_for(std::chrono::milliseconds duration) {
    if (const auto& sleep = seams().sleep)
        sleep(duration);
    else
        real_sleep(duration);
}

json make_status_request(const std::string& job_id) {
    json request = json::object();
    request["job_id"] = job_id;
    request["user_api_key"] = user_api_key;
    return request;
}

JobStatus poll_job_once(const std::string& path, const json& status_request) {
    JobStatus result;
    ServiceCall call;
    call.path = path;
    call.gated = false;
    call.build = [&](json& request) { request = status_request; };
    call.failure_phrase = "Server error: returned status ";
    call.response_separator = " due to ";
    call.on_success = [&](const net::Response& response) {
        result.answer = parse_json(response.text);
        const json& a = result.answer;
        if (!a.is_object() || !a.contains("success") || !a.contains("status")) {
            print_error("Server returned invalid response");
            result.state = JobState::invalid;
        } else {
            result.state = job_state(a.at("status").get<std::string>());
        }
        return true;
    };
    if (!run_service_call(call)) result.state = JobState::http_error;
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
