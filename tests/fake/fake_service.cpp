#include "fake/fake_service.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <nlohmann/json.hpp>
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace fake {

using json = nlohmann::json;

std::string Request::header(const std::string& name) const {
    for (const auto& [k, v] : headers)
        if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
    return "";
}

std::string base64_decode(const std::string& text, bool* ok) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    bool good = text.size() % 4 == 0;
    std::string out;
    for (size_t i = 0; good && i < text.size(); i += 4) {
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k) {
            char c = text[i + k];
            if (c == '=' && i + 4 == text.size() && k >= 2) {
                v[k] = 0;
                ++pad;
            } else if (pad > 0 || (v[k] = value(c)) < 0) {
                good = false;
                break;
            }
        }
        if (!good) break;
        uint32_t n = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        out.push_back(char(n >> 16));
        if (pad < 2) out.push_back(char((n >> 8) & 255));
        if (pad < 1) out.push_back(char(n & 255));
    }
    if (ok) *ok = good;
    return good ? out : std::string();
}

std::string gunzip(const std::string& data, bool* ok) {
    z_stream zs{};
    std::string out;
    bool good = inflateInit2(&zs, 16 + 15) == Z_OK;
    if (good) {
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        zs.avail_in = static_cast<uInt>(data.size());
        char buf[65536];
        int rc;
        do {
            zs.next_out = reinterpret_cast<Bytef*>(buf);
            zs.avail_out = sizeof buf;
            rc = inflate(&zs, Z_NO_FLUSH);
            out.append(buf, sizeof buf - zs.avail_out);
        } while (rc == Z_OK);
        // One member, ending exactly at the end of the data.
        good = rc == Z_STREAM_END && zs.avail_in == 0;
        inflateEnd(&zs);
    }
    if (ok) *ok = good;
    return out;
}

std::string sha256_hex(const std::string& data) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), d, &n, EVP_sha256(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        out.push_back(hex[d[i] >> 4]);
        out.push_back(hex[d[i] & 15]);
    }
    return out;
}

namespace {

// An /upload body as it arrives, kept without the values of its Base64
// fields (which hold no quotes, so each ends at the next one).
class BodyWithoutBase64 {
public:
    void feed(const char* data, size_t size) {
        size_ += size;
        consume(std::string_view(data, size));
    }
    size_t size() const { return size_; }
    std::string take() { return std::move(kept_); }

private:
    void consume(std::string_view in) {
        while (!in.empty()) {
            if (skipping_) {
                const size_t quote = in.find('"');
                if (quote == std::string_view::npos) return;
                in.remove_prefix(quote);
                skipping_ = false;
                continue;
            }
            const size_t from = std::max(scan_from_, kept_.size() > 32 ? kept_.size() - 32 : 0);
            kept_.append(in);
            size_t end = std::string::npos;
            for (const char* key : {"\"file_data\":\"", "\"string_id_txt\":\""}) {
                const size_t at = kept_.find(key, from);
                if (at != std::string::npos) end = std::min(end, at + std::strlen(key));
            }
            if (end == std::string::npos) return;
            // What followed the key goes through again, as the field's value.
            const std::string rest = kept_.substr(end);
            kept_.resize(end);
            scan_from_ = end;
            skipping_ = true;
            consume(rest);
            return;
        }
    }

    std::string kept_;
    size_t scan_from_ = 0;  // keys before this have been found already
    size_t size_ = 0;
    bool skipping_ = false;
};

}  // namespace

struct FakeService::Impl {
    httplib::Server server;
    std::thread thread;
};

FakeService::FakeService(bool light) : impl_(std::make_unique<Impl>()), light_(light) {
    auto serve = [this](const httplib::Request& in, httplib::Response& out) {
        Request r;
        r.method = in.method;
        r.path = in.path;
        for (const auto& [k, v] : in.headers) r.headers.emplace(k, v);
        r.body = in.body;
        r.body_size = r.body.size();
        Reply reply = handle(r);
        out.status = reply.status;
        out.set_content(reply.body, "application/json");
    };
    if (light_) {
        impl_->server.Post("/api/upload", [this](const httplib::Request& in, httplib::Response& out,
                                                 const httplib::ContentReader& read) {
            Request r;
            r.method = in.method;
            r.path = in.path;
            for (const auto& [k, v] : in.headers) r.headers.emplace(k, v);
            BodyWithoutBase64 body;
            read([&body](const char* data, size_t size) {
                body.feed(data, size);
                return true;
            });
            r.body = body.take();
            r.body_size = body.size();
            Reply reply = handle(r);
            out.status = reply.status;
            out.set_content(reply.body, "application/json");
        });
    }
    impl_->server.Get(R"(/.*)", serve);
    impl_->server.Post(R"(/.*)", serve);
    port_ = impl_->server.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("fake service: cannot bind 127.0.0.1");
    impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
    // stop() does nothing until the server loop runs, so wait for it here.
    while (!impl_->server.is_running()) std::this_thread::yield();
}

FakeService::~FakeService() {
    impl_->server.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
}

std::string FakeService::base_url() const { return "http://127.0.0.1:" + std::to_string(port_); }
std::string FakeService::api_url() const { return base_url() + "/api"; }

void FakeService::push(const std::string& path, Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_[path].push_back(std::move(reply));
}

void FakeService::set(const std::string& path, Reply reply) {
    set(path, Handler([reply](const Request&) { return reply; }));
}

void FakeService::set(const std::string& path, Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[path] = std::move(handler);
}

std::vector<Request> FakeService::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

std::vector<Request> FakeService::requests(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Request> out;
    for (const auto& r : log_)
        if (r.path == path) out.push_back(r);
    return out;
}

std::vector<std::string> FakeService::problems() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return problems_;
}

void FakeService::clear_log() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
    problems_.clear();
}

void FakeService::set_valid_key(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    valid_key_ = key;
}

void FakeService::observe(std::function<void(const Request&)> observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

Reply FakeService::handle(Request& r) {
    std::vector<std::string> found;
    if (light_ && r.path == "/api/upload") {
        // Read without its Base64 fields: nothing to check.
    } else if (r.method == "POST") {
        if (r.header("Content-Type") != "application/json")
            found.push_back(r.path + ": Content-Type is '" + r.header("Content-Type") + "'");
        json body = json::parse(r.body, nullptr, false);
        if (body.is_discarded()) {
            found.push_back(r.path + ": body is not JSON");
        } else {
            if (body.dump() != r.body)
                found.push_back(r.path + ": body is not compact JSON with sorted keys");
            if (r.path == "/api/upload" && body.is_object()) {
                bool ok = false;
                std::string data = body.value("file_data", std::string());
                std::string zipped = base64_decode(data, &ok);
                if (!ok) found.push_back("/api/upload: file_data is not Base64");
                r.file_data = gunzip(zipped, &ok);
                if (!ok) found.push_back("/api/upload: file_data is not one gzip stream");
                if (body.value("checksum", std::string()) != sha256_hex(data))
                    found.push_back("/api/upload: checksum does not match file_data");
                if (body.contains("string_id_txt")) {
                    std::string ids = base64_decode(body.value("string_id_txt", std::string()), &ok);
                    if (!ok) found.push_back("/api/upload: string_id_txt is not Base64");
                    r.string_ids = gunzip(ids, &ok);
                    if (!ok) found.push_back("/api/upload: string_id_txt is not one gzip stream");
                }
            }
        }
    }
    Handler handler;
    Reply reply;
    bool have_reply = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.push_back(r);
        if (observer_) observer_(r);
        problems_.insert(problems_.end(), found.begin(), found.end());
        auto q = queued_.find(r.path);
        if (q != queued_.end() && !q->second.empty()) {
            reply = q->second.front();
            q->second.erase(q->second.begin());
            have_reply = true;
        } else if (auto h = handlers_.find(r.path); h != handlers_.end()) {
            handler = h->second;
        }
    }
    if (have_reply) return reply;
    if (handler) return handler(r);
    return default_reply(r);
}

Reply FakeService::default_reply(const Request& r) {
    const std::string& p = r.path;
    auto ok = [](json j) { return Reply{200, j.dump()}; };
    json body = json::parse(r.body, nullptr, false);
    auto next_job = [this](const char* prefix) {
        std::lock_guard<std::mutex> lock(mutex_);
        return prefix + std::to_string(++next_job_);
    };
    if (p == "/bk/validate-api-key") {
        std::string valid;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            valid = valid_key_;
        }
        if (r.header("X-API-Key") == valid)
            return ok({{"user_id", "user-1"}, {"username", "tester"}});
        return ok({{"detail", "Invalid API key"}});
    }
    if (p == "/api/check_cli_version") return ok({{"success", true}, {"message", "ok"}});
    if (p == "/api/create_project" || p == "/api/init" || p == "/api/delete_project" ||
        p == "/api/delete_dataset" || p == "/api/delete_index")
        return ok({{"success", true}});
    if (p == "/api/fetch_projects") return ok({{"projects", json::array()}});
    if (p == "/api/fetch_datasets") return ok({{"datasets", json::array()}});
    if (p == "/api/list_index_infos") return ok({{"index_infos", json::array()}});
    if (p == "/api/attach_index") return ok({{"success", true}, {"job_id", next_job("attach-")}});
    if (p == "/api/get_attach_index_status" || p == "/api/get_upload_data_status")
        return ok({{"success", true}, {"status", "finished"}, {"error_message", "Done"}});
    if (p == "/api/add_data" || p == "/api/remove_data") return ok({{"error_code", "Success"}});
    if (p == "/api/add_data_batch") {
        if (body.is_object() && body.contains("string_id") && body["string_id"].is_array()) {
            json results = json::array();
            for (const auto& id : body["string_id"])
                results.push_back({{"string_id", id},
                                   {"status", 200},
                                   {"body", json({{"error_code", "Success"}}).dump()}});
            return ok(results);
        }
        std::string checksum = body.is_object() ? body.value("checksum", std::string()) : "";
        return ok({{"checksum_server", checksum}, {"job_id", next_job("batch-")}});
    }
    if (p == "/api/search") return ok({{"results", json::array()}});
    if (p == "/api/upload") {
        std::string checksum = body.is_object() ? body.value("checksum", std::string()) : "";
        return ok({{"checksum_server", checksum}, {"job_id", next_job("shard-")}});
    }
    return Reply{404, "{\"detail\":\"Not Found\"}"};
}

}  // namespace fake
