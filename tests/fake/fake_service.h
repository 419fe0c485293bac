// A fake Tarvo service for tests: a loopback HTTP server with a router, one
// scripted handler per endpoint and a log of what it received. It checks what
// a strict service would (Content-Type, compact JSON with sorted keys, and for
// /upload that file_data is Base64 of a gzip stream whose checksum matches).
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fake {

struct Request {
    std::string method;
    std::string path;     // e.g. "/api/create_project"
    std::multimap<std::string, std::string> headers;
    std::string body;
    // For /upload: the decoded shard (Base64 then gunzip) and the decoded ids.
    std::string file_data;
    std::string string_ids;
    // The length of the body as received (in light mode the logged body of
    // an /upload request is shorter).
    size_t body_size = 0;
    std::string header(const std::string& name) const;
};

struct Reply {
    int status = 200;
    std::string body;
};

using Handler = std::function<Reply(const Request&)>;

class FakeService {
public:
    static constexpr const char* kValidKey = "test-key";

    // Binds 127.0.0.1 on a free port and starts serving. Light mode, for
    // benchmarks: /upload bodies are read as they arrive without keeping their
    // Base64 fields (logged emptied, body_size telling the size received) and
    // are neither checked nor decoded, so a big shard is answered at once.
    explicit FakeService(bool light = false);
    ~FakeService();
    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    int port() const { return port_; }
    // The one API key the account service accepts (kValidKey unless changed).
    void set_valid_key(const std::string& key);
    std::string base_url() const;  // http://127.0.0.1:PORT
    std::string api_url() const;   // base_url() + "/api"

    // Replies for a path: queued one-shot replies are used first, in order;
    // then the path's standing reply or handler; then the built-in default.
    void push(const std::string& path, Reply reply);
    void set(const std::string& path, Reply reply);
    void set(const std::string& path, Handler handler);

    std::vector<Request> requests() const;
    std::vector<Request> requests(const std::string& path) const;
    // What a strict service would have refused, one line per finding.
    std::vector<std::string> problems() const;
    void clear_log();
    // Called (on the server's thread) for every request after it is logged.
    void observe(std::function<void(const Request&)> observer);

private:
    Reply handle(Request& request);
    Reply default_reply(const Request& request);

    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, std::vector<Reply>> queued_;
    std::map<std::string, Handler> handlers_;
    std::vector<Request> log_;
    std::function<void(const Request&)> observer_;
    std::vector<std::string> problems_;
    int next_job_ = 0;
    std::string valid_key_ = kValidKey;
    const bool light_;
};

// Test-side decoders, independent of the client's own code.
std::string base64_decode(const std::string& text, bool* ok = nullptr);
std::string gunzip(const std::string& data, bool* ok = nullptr);
std::string sha256_hex(const std::string& data);

}  // namespace fake
