#include "support/misbehaving_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace test_support {
namespace {

bool same_name(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::string trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

const char* reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 307:
            return "Temporary Redirect";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

std::string head(int status, const HeaderList& headers) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
    bool typed = false;
    for (const auto& [name, value] : headers) {
        out += name + ": " + value + "\r\n";
        typed = typed || same_name(name, "Content-Type");
    }
    if (!typed) out += "Content-Type: application/json\r\n";
    out += "Connection: close\r\n\r\n";
    return out;
}

Behaviour with_wire(std::string bytes) {
    Behaviour b;
    b.wire = std::make_shared<const std::string>(std::move(bytes));
    return b;
}

std::string compress(const std::string& data, int window_bits) {
    z_stream z{};
    if (deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
    return out;
}

int hop_of(const std::string& target) {
    const auto q = target.find("?hop=");
    return q == std::string::npos ? 0 : std::atoi(target.c_str() + q + 5);
}

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using CtxPtr = std::unique_ptr<SSL_CTX, Deleter<SSL_CTX, SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, Deleter<SSL, SSL_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("TLS set-up failed: ") + what);
}

}  // namespace

// ---- requests and behaviours ------------------------------------------------------------

std::string compress_body(const std::string& encoding, const std::string& data) {
    if (encoding == "gzip") return compress(data, 16 + MAX_WBITS);
    if (encoding == "deflate") return compress(data, MAX_WBITS);
    if (encoding == "bare deflate") return compress(data, -MAX_WBITS);
    throw std::invalid_argument("unknown encoding " + encoding);
}

std::string ReceivedRequest::header(const std::string& name) const {
    for (const auto& [n, v] : headers)
        if (same_name(n, name)) return v;
    return "";
}

bool ReceivedRequest::has_header(const std::string& name) const {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& h) { return same_name(h.first, name); });
}

Behaviour Behaviour::reply(int status, std::string body, HeaderList extra) {
    extra.emplace_back("Content-Length", std::to_string(body.size()));
    return with_wire(head(status, extra) + body);
}

Behaviour Behaviour::encoded(const std::string& encoding, int status, const std::string& body) {
    return reply(status, compress_body(encoding, body), {{"Content-Encoding", encoding}});
}

Behaviour Behaviour::chunked(int status, const std::string& body, size_t chunk_size,
                             HeaderList extra) {
    extra.emplace_back("Transfer-Encoding", "chunked");
    std::string out = head(status, extra);
    char size[32];
    for (size_t at = 0; at < body.size(); at += chunk_size) {
        const size_t n = std::min(chunk_size, body.size() - at);
        std::snprintf(size, sizeof size, "%zx\r\n", n);
        out += size;
        out.append(body, at, n);
        out += "\r\n";
    }
    out += "0\r\n\r\n";
    return with_wire(std::move(out));
}

Behaviour Behaviour::raw(std::string bytes) { return with_wire(std::move(bytes)); }

Behaviour Behaviour::close_before_answer() { return with_wire(""); }

Behaviour Behaviour::close_mid_headers() {
    return with_wire("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Len");
}

Behaviour Behaviour::close_mid_body(const std::string& body, size_t missing) {
    return with_wire(head(200, {{"Content-Length", std::to_string(body.size() + missing)}}) + body);
}

Behaviour Behaviour::delayed(std::chrono::milliseconds wait, Behaviour answer) {
    answer.delay = wait;
    return answer;
}

Behaviour Behaviour::redirects_then(int count, Behaviour answer) {
    Behaviour b;
    b.redirects = count;
    b.then = std::make_shared<const Behaviour>(std::move(answer));
    return b;
}

Behaviour Behaviour::redirect_to(const std::string& location) {
    return reply(307, "", {{"Location", location}});
}

// ---- connections ----------------------------------------------------------------------------

struct MisbehavingServer::Tls {
    KeyPtr key;
    CertPtr cert;
    CtxPtr ctx;
    std::string pem;

    // An EC key and a certificate for 127.0.0.1 signed by that same key.
    Tls() {
        key.reset(EVP_EC_gen("P-256"));
        check(key != nullptr, "key");
        cert.reset(X509_new());
        check(cert != nullptr, "certificate");
        X509* c = cert.get();
        X509_set_version(c, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(c), 1);
        X509_gmtime_adj(X509_getm_notBefore(c), -3600);
        X509_gmtime_adj(X509_getm_notAfter(c), 24 * 3600);
        X509_set_pubkey(c, key.get());
        X509_NAME* name = X509_get_subject_name(c);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
        X509_set_issuer_name(c, name);
        // The address matches, so the only fault is who signed it.
        X509V3_CTX v3;
        X509V3_set_ctx_nodb(&v3);
        X509V3_set_ctx(&v3, c, c, nullptr, nullptr, 0);
        X509_EXTENSION* san =
            X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, "IP:127.0.0.1");
        check(san != nullptr, "subjectAltName");
        X509_add_ext(c, san, -1);
        X509_EXTENSION_free(san);
        check(X509_sign(c, key.get(), EVP_sha256()) > 0, "sign");

        ctx.reset(SSL_CTX_new(TLS_server_method()));
        check(ctx != nullptr, "context");
        check(SSL_CTX_use_certificate(ctx.get(), c) == 1, "use certificate");
        check(SSL_CTX_use_PrivateKey(ctx.get(), key.get()) == 1, "use key");

        BioPtr bio(BIO_new(BIO_s_mem()));
        PEM_write_bio_X509(bio.get(), c);
        char* data = nullptr;
        const long n = BIO_get_mem_data(bio.get(), &data);
        pem.assign(data, static_cast<size_t>(n));
    }
};

struct MisbehavingServer::Connection {
    MisbehavingServer& server;
    int fd;
    SslPtr ssl;
    std::string buffer;  // read but not yet used

    Connection(MisbehavingServer& s, int f) : server(s), fd(f) {}
    ~Connection() {
        if (ssl) SSL_shutdown(ssl.get());
        ssl.reset();
        // Let the client read to the end before the line goes: drain what it
        // still sends until it hangs up, so closing sends no reset.
        ::shutdown(fd, SHUT_WR);
        char sink[4096];
        while (server.wait_for(fd, POLLIN, 2000) && ::recv(fd, sink, sizeof sink, 0) > 0) {
        }
        ::close(fd);
    }

    // Appends what arrives to `buffer`; false at the end of the stream.
    bool receive() {
        char chunk[65536];
        ssize_t n;
        if (ssl) {
            if (SSL_pending(ssl.get()) == 0 && !server.wait_for(fd, POLLIN)) return false;
            n = SSL_read(ssl.get(), chunk, sizeof chunk);
        } else {
            if (!server.wait_for(fd, POLLIN)) return false;
            do n = ::recv(fd, chunk, sizeof chunk, 0);
            while (n < 0 && errno == EINTR);
        }
        if (n <= 0) return false;
        server.bytes_received_ += static_cast<size_t>(n);
        buffer.append(chunk, static_cast<size_t>(n));
        return true;
    }

    // Makes sure `buffer` holds at least n bytes.
    bool need(size_t n) {
        while (buffer.size() < n)
            if (!receive()) return false;
        return true;
    }

    // The buffer up to a line end (taken out with it), or false.
    bool line(std::string& out) {
        size_t end;
        while ((end = buffer.find("\r\n")) == std::string::npos)
            if (!receive()) return false;
        out = buffer.substr(0, end);
        buffer.erase(0, end + 2);
        return true;
    }

    bool send_all(const std::string& data) {
        size_t at = 0;
        while (at < data.size()) {
            const size_t n = std::min<size_t>(data.size() - at, 1 << 20);
            ssize_t sent;
            if (ssl) {
                sent = SSL_write(ssl.get(), data.data() + at, static_cast<int>(n));
            } else {
                if (!server.wait_for(fd, POLLOUT)) return false;
                sent = ::send(fd, data.data() + at, n, MSG_NOSIGNAL);
                if (sent < 0 && errno == EINTR) continue;
            }
            if (sent <= 0) return false;
            at += static_cast<size_t>(sent);
        }
        return true;
    }
};

// ---- the server ---------------------------------------------------------------------------

MisbehavingServer::MisbehavingServer(Transport transport) : transport_(transport) {
    default_ = Behaviour::reply(404, "");
    if (transport_ == Transport::tls_self_signed) tls_ = std::make_unique<Tls>();

    int wake[2];
    if (::pipe2(wake, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    wake_read_ = wake[0];
    wake_write_ = wake[1];

    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) throw std::runtime_error("socket failed");
    int on = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 16) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
}

MisbehavingServer::~MisbehavingServer() {
    stopping_ = true;
    const char byte = 1;
    (void)!::write(wake_write_, &byte, 1);
    if (thread_.joinable()) thread_.join();
    ::close(listen_fd_);
    ::close(wake_read_);
    ::close(wake_write_);
}

std::string MisbehavingServer::base_url() const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

void MisbehavingServer::push(const std::string& path, Behaviour behaviour) {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_[path].push_back(std::move(behaviour));
}

void MisbehavingServer::set(const std::string& path, Behaviour behaviour) {
    std::lock_guard<std::mutex> lock(mutex_);
    standing_[path] = std::move(behaviour);
}

void MisbehavingServer::set_default(Behaviour behaviour) {
    std::lock_guard<std::mutex> lock(mutex_);
    default_ = std::move(behaviour);
}

std::vector<ReceivedRequest> MisbehavingServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

std::vector<ReceivedRequest> MisbehavingServer::requests(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ReceivedRequest> out;
    for (const auto& r : log_)
        if (r.path == path) out.push_back(r);
    return out;
}

std::string MisbehavingServer::certificate_pem() const { return tls_ ? tls_->pem : ""; }

bool MisbehavingServer::wait_for(int fd, short events, int timeout_ms) const {
    pollfd fds[2] = {{fd, events, 0}, {wake_read_, POLLIN, 0}};
    for (;;) {
        const int n = ::poll(fds, 2, timeout_ms);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || fds[1].revents != 0) return false;
        return fds[0].revents != 0;
    }
}

void MisbehavingServer::run() {
    // A client that hangs up while we write must not end the test process.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

    while (wait_for(listen_fd_, POLLIN)) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        // A client that stalls mid-handshake cannot hold the server for long.
        timeval limit{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        Connection connection(*this, fd);
        if (tls_) {
            connection.ssl.reset(SSL_new(tls_->ctx.get()));
            SSL_set_fd(connection.ssl.get(), fd);
            if (SSL_accept(connection.ssl.get()) != 1) {
                ERR_clear_error();
                connection.ssl.reset();
                continue;
            }
        }
        serve(connection);
    }
}

bool MisbehavingServer::read_request(Connection& c, ReceivedRequest& r) {
    // A TLS handshake (a record starting 0x16) sent to the plain server would
    // have it wait for a request line that never comes, and the client for a
    // handshake answer: hang up at once instead.
    if (!c.ssl && (!c.need(1) || c.buffer[0] == '\x16')) return false;
    std::string line;
    if (!c.line(line)) return false;
    const auto sp1 = line.find(' ');
    const auto sp2 = line.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1) return false;
    r.method = line.substr(0, sp1);
    r.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    r.path = r.target.substr(0, r.target.find('?'));
    for (;;) {
        if (!c.line(line)) return false;
        if (line.empty()) break;
        const auto colon = line.find(':');
        if (colon == std::string::npos) return false;
        r.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
    }
    if (same_name(r.header("Transfer-Encoding"), "chunked")) {
        for (;;) {
            if (!c.line(line)) return false;
            const size_t size = std::strtoul(line.c_str(), nullptr, 16);
            if (size == 0) break;
            if (!c.need(size + 2)) return false;
            r.body.append(c.buffer, 0, size);
            c.buffer.erase(0, size + 2);
        }
        do {  // trailers, up to the empty line
            if (!c.line(line)) return false;
        } while (!line.empty());
        return true;
    }
    const size_t length = std::strtoull(r.header("Content-Length").c_str(), nullptr, 10);
    if (!c.need(length)) return false;
    r.body = c.buffer.substr(0, length);
    c.buffer.erase(0, length);
    return true;
}

Behaviour MisbehavingServer::choose(const ReceivedRequest& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int hop = hop_of(r.target);
    Behaviour b;
    if (hop > 0) {
        auto chain = chains_.find(r.path);
        if (chain == chains_.end()) return default_;
        b = chain->second;
    } else if (auto q = queued_.find(r.path); q != queued_.end() && !q->second.empty()) {
        b = q->second.front();
        q->second.erase(q->second.begin());
    } else if (auto s = standing_.find(r.path); s != standing_.end()) {
        b = s->second;
    } else {
        b = default_;
    }
    if (b.redirects == 0) return b;
    if (hop == 0) chains_[r.path] = b;
    if (hop >= b.redirects) return *b.then;
    const std::string next = std::to_string(hop + 1);
    return Behaviour::reply(
        307, "",
        {{"Location", r.path + "?hop=" + next}, {"Set-Cookie", "hop=" + next + "; Path=/"}});
}

void MisbehavingServer::answer(Connection& c, const Behaviour& b) {
    const auto until = std::chrono::steady_clock::now() + b.delay;
    for (auto now = std::chrono::steady_clock::now(); now < until;
         now = std::chrono::steady_clock::now()) {
        pollfd wake{wake_read_, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
        if (::poll(&wake, 1, static_cast<int>(left.count()) + 1) > 0) return;  // stopping
    }
    if (b.wire) c.send_all(*b.wire);
}

void MisbehavingServer::serve(Connection& c) {
    ReceivedRequest request;
    if (!read_request(c, request)) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.push_back(request);
    }
    answer(c, choose(request));
}

}  // namespace test_support
