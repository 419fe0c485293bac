// A loopback HTTP server that misbehaves on purpose: it hangs up before
// answering or halfway through, answers late, answers with huge or encoded
// bodies, redirects without end, or presents a self-signed certificate.
//
// It listens on 127.0.0.1 on a free port and serves one connection at a time
// on a thread of its own, which the destructor stops. Every answer ends the
// connection ("Connection: close"), so each request arrives on a fresh one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace test_support {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One request as the server read it, in full.
struct ReceivedRequest {
    std::string method;
    std::string target;  // as sent, query included
    std::string path;    // target without the query
    HeaderList headers;  // in the order sent, names as sent
    std::string body;    // decoded when it came chunked
    // The value of a header, names compared without case; "" when absent.
    std::string header(const std::string& name) const;
    bool has_header(const std::string& name) const;
};

// Compresses a body as "gzip", "deflate" (a zlib stream, as HTTP means it) or
// "bare deflate" (no zlib wrapper, as some servers send it).
std::string compress_body(const std::string& encoding, const std::string& data);

// What the server does once it has read a request.
struct Behaviour {
    std::chrono::milliseconds delay{0};       // waited before the first byte
    std::shared_ptr<const std::string> wire;  // bytes written, then the line is closed
    int redirects = 0;                        // 307 hops before `then` answers
    std::shared_ptr<const Behaviour> then;    // the answer at the end of the hops

    // A well-formed answer with Content-Length.
    static Behaviour reply(int status, std::string body, HeaderList extra = {});
    // The body compressed (compress_body), with Content-Encoding "gzip" or "deflate".
    static Behaviour encoded(const std::string& encoding, int status, const std::string& body);
    // The body sent in chunks of the given size.
    static Behaviour chunked(int status, const std::string& body, size_t chunk_size,
                             HeaderList extra = {});
    // Whatever bytes are given, then the connection is closed.
    static Behaviour raw(std::string bytes);
    // Reads the request and hangs up without a byte.
    static Behaviour close_before_answer();
    // Hangs up inside the header block of a 200 answer.
    static Behaviour close_mid_headers();
    // Sends the headers of a 200 answer and `body`, but announces `missing`
    // more bytes than it sends, then hangs up.
    static Behaviour close_mid_body(const std::string& body, size_t missing = 4096);
    // `answer`, after a wait.
    static Behaviour delayed(std::chrono::milliseconds wait, Behaviour answer);
    // `count` redirects (307, which keeps the method and body) through
    // "?hop=1" ... "?hop=count" on the same path, then `answer`. Each hop sets
    // the cookie "hop=<next hop>".
    static Behaviour redirects_then(int count, Behaviour answer);
    // One redirect (307) to an absolute address.
    static Behaviour redirect_to(const std::string& location);
};

class MisbehavingServer {
public:
    enum class Transport { plain, tls_self_signed };

    // TLS uses a key and certificate made in memory for "127.0.0.1"; they are
    // never written anywhere.
    explicit MisbehavingServer(Transport transport = Transport::plain);
    ~MisbehavingServer();
    MisbehavingServer(const MisbehavingServer&) = delete;
    MisbehavingServer& operator=(const MisbehavingServer&) = delete;

    int port() const { return port_; }
    std::string base_url() const;  // http://127.0.0.1:PORT or https://...
    std::string url(const std::string& path) const { return base_url() + path; }

    // Answers for a path (without query): one-shot answers first, in order,
    // then the standing one, then the default (404 with an empty body).
    void push(const std::string& path, Behaviour behaviour);
    void set(const std::string& path, Behaviour behaviour);
    void set_default(Behaviour behaviour);

    std::vector<ReceivedRequest> requests() const;
    std::vector<ReceivedRequest> requests(const std::string& path) const;
    int connections() const { return connections_; }
    // Bytes read from clients (after the handshake, under TLS).
    size_t bytes_received() const { return bytes_received_; }
    // The server's certificate (TLS only), for a client that chooses to trust it.
    std::string certificate_pem() const;

private:
    struct Connection;
    struct Tls;

    void run();
    void serve(Connection& connection);
    bool read_request(Connection& connection, ReceivedRequest& request);
    Behaviour choose(const ReceivedRequest& request);
    void answer(Connection& connection, const Behaviour& behaviour);
    // Waits until fd is ready (or the server stops); false when stopping.
    bool wait_for(int fd, short events, int timeout_ms = -1) const;

    Transport transport_;
    std::unique_ptr<Tls> tls_;
    int listen_fd_ = -1;
    int wake_read_ = -1;
    int wake_write_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::atomic<size_t> bytes_received_{0};

    mutable std::mutex mutex_;
    std::map<std::string, std::vector<Behaviour>> queued_;
    std::map<std::string, Behaviour> standing_;
    std::map<std::string, Behaviour> chains_;  // redirect chains under way, by path
    Behaviour default_;
    std::vector<ReceivedRequest> log_;

    std::thread thread_;
};

}  // namespace test_support
