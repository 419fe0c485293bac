// The HTTP layer's contract, against a loopback server that misbehaves on
// purpose: what is sent, what comes back, and that no broken or refused
// exchange ever shows up as an answer.
#include "net/http.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <functional>
#include <memory>

#include "support/misbehaving_server.h"

using test_support::Behaviour;
using test_support::MisbehavingServer;
using test_support::ReceivedRequest;

namespace {

constexpr size_t kMiB = 1024 * 1024;

// A body that is not one repeated byte, so a lost or repeated piece shows.
std::string patterned(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);
    return s;
}

// Compares long texts without printing them.
::testing::AssertionResult same_text(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
    return ::testing::AssertionFailure() << "sizes " << got.size() << " and " << want.size()
                                         << ", first difference at byte " << at;
}

const net::Headers kJson = {{"Content-Type", "application/json"}};

struct Call {
    const char* name;
    std::function<net::Response(const std::string& url)> run;
};

const Call kCalls[] = {
    {"GET", [](const std::string& url) { return net::get(url, kJson); }},
    {"POST", [](const std::string& url) { return net::post(url, kJson, R"({"k":"v"})"); }},
    {"POST parts",
     [](const std::string& url) {
         return net::post(url, kJson, std::vector<std::string_view>{R"({"k")", ":", R"("v"})"});
     }},
};

// The two ways a call carries the user's key: the login check sends it in a
// header, the other calls in the body.
const Call kKeyedCalls[] = {
    {"GET with the key in a header",
     [](const std::string& url) {
         return net::get(url, {{"X-API-Key", "secret-key"}});
     }},
    {"POST with the key in the body",
     [](const std::string& url) {
         return net::post(url, kJson, R"({"user_api_key":"secret-key"})");
     }},
};

constexpr int kRedirectCodes[] = {301, 302, 303, 307, 308};

std::string loopback_url(const char* scheme, const char* host, int port, const char* path) {
    return std::string(scheme) + "://" + host + ":" + std::to_string(port) + path;
}

}  // namespace

TEST(Http, StatusAndTextComeBackAsSentForEveryStatus) {
    MisbehavingServer server;
    const std::pair<int, std::string> answers[] = {
        {200, R"({"ok":true})"},
        {404, ""},
        {500, "Internal Server Error: database down"},
        {502, "<html><body>502 Bad Gateway</body></html>"},
        {503, R"({"detail":"Service Unavailable"})"},
    };
    for (const auto& call : kCalls) {
        for (const auto& [status, body] : answers) {
            server.push("/x", Behaviour::reply(status, body));
            const net::Response r = call.run(server.url("/x"));
            EXPECT_EQ(r.status, status) << call.name;
            EXPECT_EQ(r.text, body) << call.name;
            EXPECT_EQ(r.error, "") << call.name;
        }
    }
}

TEST(Http, PostSendsHeadersAndTheExactBody) {
    MisbehavingServer server;
    server.set("/x", Behaviour::reply(200, "{}"));
    const net::Response r =
        net::post(server.url("/x"), {{"Content-Type", "application/json"}, {"X-Trace", "a b:c"}},
                  std::string_view("{\"a\":\"\xc3\xa9\\u0000\"}"));
    EXPECT_EQ(r.status, 200);
    const auto got = server.requests("/x");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].method, "POST");
    EXPECT_EQ(got[0].header("Content-Type"), "application/json");
    EXPECT_EQ(got[0].header("X-Trace"), "a b:c");
    EXPECT_EQ(got[0].body, "{\"a\":\"\xc3\xa9\\u0000\"}");
    EXPECT_EQ(got[0].header("Content-Length"), std::to_string(got[0].body.size()));
    EXPECT_FALSE(got[0].has_header("Expect"));
}

TEST(Http, GetSendsHeadersAndNoBody) {
    MisbehavingServer server;
    server.set("/bk/validate-api-key", Behaviour::reply(200, "{}"));
    net::get(server.url("/bk/validate-api-key"),
             {{"Accept", "*/*"}, {"Cache-Control", "no-cache"}, {"X-API-Key", "k-1"}});
    const auto got = server.requests("/bk/validate-api-key");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].method, "GET");
    EXPECT_EQ(got[0].body, "");
    EXPECT_EQ(got[0].header("Accept"), "*/*");
    EXPECT_EQ(got[0].header("Cache-Control"), "no-cache");
    EXPECT_EQ(got[0].header("X-API-Key"), "k-1");
}

TEST(Http, AnEmptyHeaderValueIsSentNotDropped) {
    MisbehavingServer server;
    server.set("/k", Behaviour::reply(200, "{}"));
    net::get(server.url("/k"), {{"X-API-Key", ""}, {"X-Blank", " "}});
    net::post(server.url("/k"), {{"X-API-Key", ""}}, "{}");
    const auto got = server.requests("/k");
    ASSERT_EQ(got.size(), 2u);
    for (const auto& request : got) {
        EXPECT_TRUE(request.has_header("X-API-Key")) << request.method;
        EXPECT_EQ(request.header("X-API-Key"), "");
        EXPECT_FALSE(request.has_header("Expect"));
    }
    EXPECT_TRUE(got[0].has_header("X-Blank"));
}

TEST(Http, BodyPartsAreSentAsTheirExactConcatenation) {
    MisbehavingServer server;
    server.set("/x", Behaviour::reply(200, "{}"));
    // Parts around the sizes libcurl reads at a time, empty ones included.
    const std::string big = patterned(3 * kMiB + 17);
    const std::string mid = patterned(65536);
    const std::vector<std::string_view> parts = {
        "", "{\"file_data\":\"", big, "", "\",\"x\":", mid, "1", "}"};
    std::string whole;
    for (auto p : parts) whole.append(p);

    const net::Response r = net::post(server.url("/x"), kJson, parts);
    EXPECT_EQ(r.status, 200);
    const auto got = server.requests("/x");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(same_text(got[0].body, whole));
    EXPECT_EQ(got[0].header("Content-Length"), std::to_string(whole.size()));
    // A large body goes at once: no "Expect: 100-continue" and its wait.
    EXPECT_FALSE(got[0].has_header("Expect"));
    EXPECT_FALSE(got[0].has_header("Transfer-Encoding"));

    // No parts at all is an empty body.
    net::post(server.url("/x"), kJson, std::vector<std::string_view>{});
    EXPECT_EQ(server.requests("/x").back().body, "");
    EXPECT_EQ(server.requests("/x").back().header("Content-Length"), "0");
}

TEST(Http, LargeBodiesBothWays) {
    MisbehavingServer server;
    const std::string answer = patterned(50 * kMiB);
    const std::string request = patterned(20 * kMiB + 3);
    server.push("/big", Behaviour::reply(200, answer));
    server.push("/big", Behaviour::chunked(200, answer, 1 << 20));

    const net::Response posted = net::post(server.url("/big"), kJson, request);
    EXPECT_EQ(posted.status, 200) << posted.error;
    EXPECT_TRUE(same_text(posted.text, answer));
    const net::Response got_chunked = net::get(server.url("/big"), {});
    EXPECT_EQ(got_chunked.status, 200) << got_chunked.error;
    EXPECT_TRUE(same_text(got_chunked.text, answer));

    const auto got = server.requests("/big");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(same_text(got[0].body, request));
    EXPECT_FALSE(got[0].has_header("Expect"));
}

// Each of these leaves no complete answer: the call must show status 0 and an
// empty text, never a partial body or a status read from half an answer.
TEST(Http, BrokenExchangesAreStatusZeroWithEmptyText) {
    const std::string partial = R"({"error_code":"Success"})";
    const std::string padded = partial + std::string(5000, ' ');
    const std::string gzipped = test_support::compress_body("gzip", padded);
    const std::string half_gzip = gzipped.substr(0, gzipped.size() / 2);
    const std::string zlibbed = test_support::compress_body("deflate", padded);
    const std::string half_zlib = zlibbed.substr(0, zlibbed.size() - 3);
    struct Case {
        const char* name;
        Behaviour behaviour;
    } cases[] = {
        {"closed before answering", Behaviour::close_before_answer()},
        {"closed mid-headers", Behaviour::close_mid_headers()},
        {"closed after the status line", Behaviour::raw("HTTP/1.1 200 OK\r\n")},
        {"closed mid-body", Behaviour::close_mid_body(partial)},
        {"closed mid-body of an error", Behaviour::raw("HTTP/1.1 500 Internal Server Error\r\n"
                                                       "Content-Length: 100\r\n\r\noops")},
        {"closed mid-chunk", Behaviour::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                            "100\r\n" +
                                            partial)},
        {"closed before the last chunk",
         Behaviour::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                        [&] {
                            char size[16];
                            std::snprintf(size, sizeof size, "%zx\r\n", partial.size());
                            return std::string(size);
                        }() +
                        partial + "\r\n")},
        {"not HTTP", Behaviour::raw("hello\r\n\r\n")},
        {"gzip that is not gzip",
         Behaviour::raw("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
                        std::to_string(partial.size()) + "\r\n\r\n" + partial)},
        // The framing is whole but the compressed stream stops early.
        {"gzip cut short",
         Behaviour::raw("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n"
                        "Content-Length: " +
                        std::to_string(half_gzip.size()) + "\r\n\r\n" + half_gzip)},
        // A body that runs to the end of the connection, which breaks.
        {"gzip cut short by a closed line",
         Behaviour::raw("HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + half_gzip)},
        {"deflate cut short",
         Behaviour::raw("HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\n"
                        "Content-Length: " +
                        std::to_string(half_zlib.size()) + "\r\n\r\n" + half_zlib)},
        {"an encoding never offered",
         Behaviour::raw("HTTP/1.1 200 OK\r\nContent-Encoding: compress\r\nContent-Length: " +
                        std::to_string(partial.size()) + "\r\n\r\n" + partial)},
        {"interim answer, then closed mid-headers",
         Behaviour::raw("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Le")},
        {"redirected, then closed mid-headers",
         Behaviour::redirects_then(2, Behaviour::close_mid_headers())},
        {"51 redirects", Behaviour::redirects_then(51, Behaviour::reply(200, partial))},
    };
    for (const auto& call : kCalls) {
        for (const auto& c : cases) {
            MisbehavingServer server;
            server.set("/x", c.behaviour);
            const net::Response r = call.run(server.url("/x"));
            EXPECT_EQ(r.status, 0) << call.name << ", " << c.name;
            EXPECT_EQ(r.text, "") << call.name << ", " << c.name;
            EXPECT_NE(r.error, "") << call.name << ", " << c.name;
            // Nothing is retried: one request (or one per redirect followed).
            const size_t sent = std::min(c.behaviour.redirects, 50) + 1u;
            EXPECT_EQ(server.requests("/x").size(), sent) << call.name << ", " << c.name;
        }
    }
}

TEST(Http, NoServerListeningIsStatusZeroWithEmptyText) {
    std::string url;
    {
        MisbehavingServer gone;
        url = gone.url("/x");
    }
    for (const auto& call : kCalls) {
        const net::Response r = call.run(url);
        EXPECT_EQ(r.status, 0) << call.name;
        EXPECT_EQ(r.text, "") << call.name;
        EXPECT_NE(r.error, "") << call.name;
    }
}

TEST(Http, FiftyRedirectsAreFollowedKeepingMethodBodyAndCookies) {
    MisbehavingServer server;
    server.set("/x", Behaviour::redirects_then(50, Behaviour::reply(200, "landed")));
    const std::string body = patterned(200000);
    const net::Response r =
        net::post(server.url("/x"), kJson,
                  std::vector<std::string_view>{std::string_view(body).substr(0, 70000),
                                                std::string_view(body).substr(70000)});
    EXPECT_EQ(r.status, 200) << r.error;
    EXPECT_EQ(r.text, "landed");

    const auto got = server.requests("/x");
    ASSERT_EQ(got.size(), 51u);
    for (size_t hop = 0; hop < got.size(); ++hop) {
        SCOPED_TRACE("hop " + std::to_string(hop));
        EXPECT_EQ(got[hop].target, hop ? "/x?hop=" + std::to_string(hop) : "/x");
        EXPECT_EQ(got[hop].method, "POST");
        // Every hop gets the whole body again, from its first byte.
        EXPECT_TRUE(same_text(got[hop].body, body));
        EXPECT_EQ(got[hop].header("Content-Type"), "application/json");
        // The cookie set by the previous hop goes along to the next one.
        EXPECT_EQ(got[hop].header("Cookie"), hop ? "hop=" + std::to_string(hop) : "");
    }
}

TEST(Http, CookiesDoNotOutliveTheirRequest) {
    MisbehavingServer server;
    server.set("/login", Behaviour::reply(200, "{}", {{"Set-Cookie", "session=abc; Path=/"}}));
    server.set("/next", Behaviour::reply(200, "{}"));
    net::get(server.url("/login"), {});
    net::post(server.url("/next"), kJson, "{}");
    net::get(server.url("/next"), {});
    for (const auto& r : server.requests("/next")) EXPECT_FALSE(r.has_header("Cookie"));
    // The cookie did reach the client, and the next hop of a redirect gets it.
    server.set("/chain", Behaviour::redirects_then(1, Behaviour::reply(200, "{}")));
    net::get(server.url("/chain"), {});
    EXPECT_EQ(server.requests("/chain").back().header("Cookie"), "hop=1");
}

TEST(Http, GzipAndDeflateAreOfferedAndDecoded) {
    MisbehavingServer server;
    const std::string text = R"({"results":[)" + std::string(100000, ' ') + "]}";
    for (const char* encoding : {"gzip", "deflate"}) {
        server.push("/x", Behaviour::encoded(encoding, 200, text));
        const net::Response r = net::post(server.url("/x"), kJson, "{}");
        EXPECT_EQ(r.status, 200) << encoding;
        EXPECT_TRUE(same_text(r.text, text)) << encoding;
    }
    using test_support::compress_body;
    const std::string two_members =
        compress_body("gzip", text.substr(0, 70000)) + compress_body("gzip", text.substr(70000));
    const std::pair<const char*, Behaviour> more[] = {
        {"bare deflate", Behaviour::reply(200, compress_body("bare deflate", text),
                                          {{"Content-Encoding", "deflate"}})},
        {"two gzip members", Behaviour::reply(200, two_members, {{"Content-Encoding", "gzip"}})},
        {"gzip in chunks",
         Behaviour::chunked(200, compress_body("gzip", text), 999, {{"Content-Encoding", "gzip"}})},
        {"gzip, then identity",
         Behaviour::reply(200, compress_body("gzip", text),
                          {{"Content-Encoding", "gzip"}, {"Content-Encoding", "identity"}})},
    };
    for (const auto& [name, behaviour] : more) {
        server.push("/x", behaviour);
        const net::Response r = net::get(server.url("/x"), {});
        EXPECT_EQ(r.status, 200) << name << ": " << r.error;
        EXPECT_TRUE(same_text(r.text, text)) << name;
    }

    server.push("/x", Behaviour::encoded("gzip", 503, "busy"));
    const net::Response busy = net::get(server.url("/x"), {});
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.text, "busy");
    // An empty body has nothing to decode, whatever its headers say.
    server.push("/x", Behaviour::reply(500, "", {{"Content-Encoding", "gzip"}}));
    const net::Response empty = net::get(server.url("/x"), {});
    EXPECT_EQ(empty.status, 500);
    EXPECT_EQ(empty.text, "");

    for (const auto& r : server.requests("/x")) {
        const std::string offered = r.header("Accept-Encoding");
        EXPECT_NE(offered.find("gzip"), std::string::npos) << offered;
        EXPECT_NE(offered.find("deflate"), std::string::npos) << offered;
    }
}

TEST(Http, ALateAnswerIsWaitedFor) {
    MisbehavingServer server;
    const auto wait = std::chrono::milliseconds(1500);
    server.set("/slow", Behaviour::delayed(wait, Behaviour::reply(200, R"({"late":true})")));
    const auto start = std::chrono::steady_clock::now();
    const net::Response r = net::post(server.url("/slow"), kJson, "{}");
    EXPECT_GE(std::chrono::steady_clock::now() - start, wait);
    EXPECT_EQ(r.status, 200) << r.error;
    EXPECT_EQ(r.text, R"({"late":true})");
}

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};

// A TLS client that trusts the server's own certificate: proof that the
// server completes a handshake and reads a request when it is trusted.
std::string trusted_exchange(const MisbehavingServer& server, const std::string& request) {
    std::unique_ptr<SSL_CTX, Deleter<SSL_CTX, SSL_CTX_free>> ctx(SSL_CTX_new(TLS_client_method()));
    const std::string pem = server.certificate_pem();
    std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    std::unique_ptr<X509, Deleter<X509, X509_free>> cert(
        PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) return "no certificate";
    X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx.get()), cert.get());
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(server.port()));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return "no connection";
    }
    std::string answer;
    {
        std::unique_ptr<SSL, Deleter<SSL, SSL_free>> ssl(SSL_new(ctx.get()));
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), "127.0.0.1");
        SSL_set_fd(ssl.get(), fd);
        if (SSL_connect(ssl.get()) != 1) {
            answer = "handshake failed";
        } else {
            SSL_write(ssl.get(), request.data(), static_cast<int>(request.size()));
            char buf[4096];
            int n;
            while ((n = SSL_read(ssl.get(), buf, sizeof buf)) > 0) answer.append(buf, n);
        }
    }
    ::close(fd);
    return answer;
}

}  // namespace

TEST(Http, ASelfSignedCertificateIsRefusedBeforeAnythingIsSent) {
    MisbehavingServer server(MisbehavingServer::Transport::tls_self_signed);
    server.set("/api/remove_data", Behaviour::reply(200, R"({"error_code":"Success"})"));
    for (const auto& call : kCalls) {
        const net::Response r = call.run(server.url("/api/remove_data"));
        EXPECT_EQ(r.status, 0) << call.name;
        EXPECT_EQ(r.text, "") << call.name;
        EXPECT_NE(r.error.find("certificate"), std::string::npos) << call.name << ": " << r.error;
    }
    // The client did reach the server, and gave up in the handshake.
    EXPECT_EQ(server.connections(), 3);
    EXPECT_EQ(server.bytes_received(), 0u);
    EXPECT_TRUE(server.requests().empty());

    // A client that trusts the certificate does get through.
    const std::string answer = trusted_exchange(
        server, "POST /api/remove_data HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nbody");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].body, "body");
}

// The same machine under another name is another origin all the same: a
// redirect there must not carry the key along, whatever the code.
TEST(Http, ARedirectToAnotherHostIsTheAnswerAndThatHostHearsNothing) {
    for (const auto& call : kKeyedCalls) {
        for (const int code : kRedirectCodes) {
            SCOPED_TRACE(std::string(call.name) + ", " + std::to_string(code));
            MisbehavingServer asked;
            MisbehavingServer elsewhere;
            elsewhere.set_default(Behaviour::reply(200, "took the key"));
            const std::string location = loopback_url("http", "localhost", elsewhere.port(), "/x");
            asked.set("/x", Behaviour::reply(code, "moved", {{"Location", location}}));
            const net::Response r = call.run(asked.url("/x"));
            EXPECT_EQ(r.status, code);
            EXPECT_EQ(r.text, "moved");
            EXPECT_EQ(r.error, "");
            EXPECT_EQ(asked.requests().size(), 1u);
            EXPECT_EQ(elsewhere.connections(), 0);
            EXPECT_TRUE(elsewhere.requests().empty());
        }
    }
}

TEST(Http, ARedirectChangingTheSchemeOrThePortIsNotFollowed) {
    using Servers = std::array<const MisbehavingServer*, 3>;  // asked, other, tls
    const auto https_here = [](const Servers& s) {
        return loopback_url("https", "127.0.0.1", s[0]->port(), "/y");
    };
    const struct Case {
        const char* name;
        std::function<std::string(const Servers&)> location;
        size_t hops;  // requests the asked server answers
    } cases[] = {
        {"https, same host and port", https_here, 1},
        {"another port", [](const Servers& s) { return s[1]->url("/y"); }, 1},
        // Not even a handshake with the server elsewhere, let alone the body.
        {"https on another port", [](const Servers& s) { return s[2]->url("/y"); }, 1},
        // Every hop is checked, not only the first.
        {"after a hop within the origin", [](const Servers&) { return "/hop"; }, 2},
    };
    for (const auto& call : kKeyedCalls) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(call.name) + ", " + c.name);
            MisbehavingServer asked;
            MisbehavingServer other;
            MisbehavingServer tls(MisbehavingServer::Transport::tls_self_signed);
            const Servers servers = {&asked, &other, &tls};
            asked.set("/x", Behaviour::redirect_to(c.location(servers)));
            asked.set("/hop", Behaviour::redirect_to(https_here(servers)));
            const net::Response r = call.run(asked.url("/x"));
            EXPECT_EQ(r.status, 307);
            EXPECT_EQ(r.text, "");
            EXPECT_EQ(r.error, "");
            EXPECT_EQ(asked.requests().size(), c.hops);
            EXPECT_EQ(asked.connections(), static_cast<int>(c.hops));
            EXPECT_EQ(other.connections(), 0);
            EXPECT_EQ(tls.connections(), 0);
        }
    }
}

// Within the origin, each code gets the method and body libcurl has always
// given it, and the key header goes along.
TEST(Http, ARedirectWithinTheOriginKeepsOrDropsTheBodyByItsCode) {
    const std::string body = R"({"user_api_key":"secret-key"})";
    for (const int code : kRedirectCodes) {
        SCOPED_TRACE(code);
        MisbehavingServer server;
        // Spelled otherwise, the same origin all the same.
        const std::string location = loopback_url("HTTP", "127.0.0.1", server.port(), "/y");
        server.set("/x", Behaviour::reply(code, "moved", {{"Location", location}}));
        server.set("/y", Behaviour::reply(200, "landed"));
        const net::Response posted = net::post(server.url("/x"), kJson, body);
        const net::Response got = net::get(server.url("/x"), {{"X-API-Key", "secret-key"}});
        for (const auto& r : {posted, got}) {
            EXPECT_EQ(r.status, 200) << r.error;
            EXPECT_EQ(r.text, "landed");
        }
        const auto landed = server.requests("/y");
        ASSERT_EQ(landed.size(), 2u);
        const bool keeps_body = code == 307 || code == 308;
        EXPECT_EQ(landed[0].method, keeps_body ? "POST" : "GET");
        EXPECT_EQ(landed[0].body, keeps_body ? body : "");
        EXPECT_EQ(landed[0].has_header("Content-Length"), keeps_body);
        EXPECT_EQ(landed[1].method, "GET");
        EXPECT_EQ(landed[1].header("X-API-Key"), "secret-key");
    }
}
