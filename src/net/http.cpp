#include "net/http.h"

#include <curl/curl.h>

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <tuple>

namespace net {
namespace {

struct GlobalInit {
    GlobalInit() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    ~GlobalInit() { curl_global_cleanup(); }
};

void ensure_global_init() {
    static GlobalInit init;
}

// Feeds a list of body parts to libcurl one piece at a time.
struct BodyReader {
    const std::vector<std::string_view>* parts;
    size_t part = 0;
    size_t offset = 0;

    size_t read(char* out, size_t max) {
        size_t written = 0;
        while (written < max && part < parts->size()) {
            std::string_view p = (*parts)[part];
            size_t n = std::min(max - written, p.size() - offset);
            std::memcpy(out + written, p.data() + offset, n);
            written += n;
            offset += n;
            if (offset == p.size()) {
                ++part;
                offset = 0;
            }
        }
        return written;
    }
    void rewind() {
        part = 0;
        offset = 0;
    }
};

size_t on_write(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

size_t on_read(char* out, size_t size, size_t count, void* user) {
    return static_cast<BodyReader*>(user)->read(out, size * count);
}

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// The header block of the latest answer an exchange saw (after interim
// answers, the final one).
struct AnswerHead {
    bool complete = false;         // the empty line that ends the block arrived
    std::string content_encoding;  // every Content-Encoding value, comma-joined
};

size_t on_header(char* data, size_t size, size_t count, void* user) {
    const size_t n = size * count;
    AnswerHead& head = *static_cast<AnswerHead*>(user);
    const std::string_view line(data, n);
    if (line.substr(0, 5) == "HTTP/") {
        head = AnswerHead{};  // a new answer begins
    } else if (line == "\r\n" || line == "\n") {
        head.complete = true;
    } else if (!head.complete) {  // trailers after the body do not count
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos &&
            same_name(trim(line.substr(0, colon)), "Content-Encoding")) {
            if (!head.content_encoding.empty()) head.content_encoding += ",";
            head.content_encoding += std::string(trim(line.substr(colon + 1)));
        }
    }
    return n;
}

// Inflates a whole body in place; false when the stream is damaged or ends
// early. A gzip body may hold several members one after the other.
bool inflate_body(std::string& body, int window_bits, bool gzip) {
    z_stream z{};
    if (inflateInit2(&z, window_bits) != Z_OK) return false;
    std::string out;
    size_t fed = 0;
    char buffer[1 << 16];
    bool ok = false;
    for (;;) {
        if (z.avail_in == 0 && fed < body.size()) {
            const size_t n = std::min<size_t>(body.size() - fed, std::numeric_limits<uInt>::max());
            z.next_in = reinterpret_cast<Bytef*>(&body[fed]);
            z.avail_in = static_cast<uInt>(n);
            fed += n;
        }
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        const int rc = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
        if (rc == Z_STREAM_END) {
            // Another gzip member may follow; anything else after the end is ignored.
            if (gzip && z.avail_in >= 2 && z.next_in[0] == 0x1f && z.next_in[1] == 0x8b &&
                inflateReset(&z) == Z_OK)
                continue;
            ok = true;
            break;
        }
        if (rc != Z_OK) break;  // damaged, or cut short (no input left, no end)
    }
    inflateEnd(&z);
    if (ok) body = std::move(out);
    return ok;
}

// Undoes the content codings of an answer, the last applied first. libcurl
// would decode too, but it takes a compressed stream that stops early for a
// whole one, and a partial body must never pass for an answer.
bool decode_body(const std::string& codings, std::string& body) {
    std::vector<std::string> list;
    std::string_view rest = codings;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        const std::string_view item = trim(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (!item.empty() && !same_name(item, "identity")) list.emplace_back(item);
    }
    // An empty body (an error answer, say) has nothing to decode.
    if (list.empty() || body.empty()) return true;
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (same_name(*it, "gzip") || same_name(*it, "x-gzip")) {
            if (!inflate_body(body, 16 + MAX_WBITS, true)) return false;
        } else if (same_name(*it, "deflate")) {
            // "deflate" should be a zlib stream; some servers send it bare.
            if (!inflate_body(body, MAX_WBITS, false) && !inflate_body(body, -MAX_WBITS, false))
                return false;
        } else {
            return false;  // not one we offered
        }
    }
    return true;
}

int on_seek(void* user, curl_off_t offset, int origin) {
    // libcurl rewinds a body it has to send again (a retried request).
    if (origin != SEEK_SET || offset != 0) return CURL_SEEKFUNC_CANTSEEK;
    static_cast<BodyReader*>(user)->rewind();
    return CURL_SEEKFUNC_OK;
}

struct Origin {
    std::string scheme, host, port;
};

// The origin of an absolute URL, the port filled in from the scheme when
// absent; false when libcurl cannot parse it.
bool origin_of(const char* url, Origin& origin) {
    std::unique_ptr<CURLU, void (*)(CURLU*)> parsed(curl_url(), curl_url_cleanup);
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url, 0) != CURLUE_OK) return false;
    const std::tuple<CURLUPart, unsigned, std::string*> parts[] = {
        {CURLUPART_SCHEME, 0, &origin.scheme},
        {CURLUPART_HOST, 0, &origin.host},
        {CURLUPART_PORT, CURLU_DEFAULT_PORT, &origin.port}};
    for (const auto& [part, flags, out] : parts) {
        char* value = nullptr;
        if (curl_url_get(parsed.get(), part, &value, flags) != CURLUE_OK) return false;
        *out = value;
        curl_free(value);
    }
    return true;
}

// The request's headers and body may carry the user's key: a redirect may
// only lead back to the server that was asked, over the same scheme.
bool same_origin(const char* from, const char* to) {
    Origin a, b;
    if (!from || !to || !origin_of(from, a) || !origin_of(to, b)) return false;
    return same_name(a.scheme, b.scheme) && same_name(a.host, b.host) && a.port == b.port;
}

constexpr int kMaxRedirects = 50;

// Owns one curl handle with its header list and error buffer.
class Transfer {
public:
    explicit Transfer(const std::string& url) : handle_(curl_easy_init()) {
        error_[0] = '\0';
        if (!handle_) return;
        curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, error_);
        // libcurl would carry our own headers and a 307/308 body to any
        // host, so perform follows redirects itself, within the origin. The
        // protocol list is a second guard should libcurl ever follow one.
        curl_easy_setopt(handle_, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(handle_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(handle_, CURLOPT_ACCEPT_ENCODING, "deflate, gzip");
        // Offered above, decoded here (decode_body).
        curl_easy_setopt(handle_, CURLOPT_HTTP_CONTENT_DECODING, 0L);
        curl_easy_setopt(handle_, CURLOPT_COOKIEFILE, "");
        curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, on_write);
        curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &text_);
        curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, on_header);
        curl_easy_setopt(handle_, CURLOPT_HEADERDATA, &head_);
    }
    ~Transfer() {
        if (handle_) curl_easy_cleanup(handle_);
        if (headers_) curl_slist_free_all(headers_);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Every header is sent, an empty value included: "Name;" is libcurl's
    // form for that, since "Name:" (also with only blanks after it) would
    // remove the header. Blanks around a value are not part of it in HTTP.
    void set_headers(const Headers& headers) {
        for (const auto& [name, value] : headers)
            append_header(trim(value).empty() ? name + ";" : name + ": " + value);
    }

    // Keeps libcurl from adding a header of its own; callers cannot ask for
    // this, so no value of theirs removes a header.
    void suppress_header(const std::string& name) { append_header(name + ":"); }

    void set_post_body(BodyReader* reader, curl_off_t size) {
        if (!handle_) return;
        curl_easy_setopt(handle_, CURLOPT_POST, 1L);
        curl_easy_setopt(handle_, CURLOPT_POSTFIELDSIZE_LARGE, size);
        curl_easy_setopt(handle_, CURLOPT_READFUNCTION, on_read);
        curl_easy_setopt(handle_, CURLOPT_READDATA, reader);
        curl_easy_setopt(handle_, CURLOPT_SEEKFUNCTION, on_seek);
        curl_easy_setopt(handle_, CURLOPT_SEEKDATA, reader);
        reader_ = reader;
    }

    void set_get() {
        if (handle_) curl_easy_setopt(handle_, CURLOPT_HTTPGET, 1L);
    }

    // One request and the redirects it leads to within its origin, on this
    // one handle so that cookies set along the way go to the next hop.
    Response perform() {
        Response r;
        if (!handle_) {
            r.error = "curl_easy_init failed";
            return r;
        }
        for (int followed = 0;; ++followed) {
            if (!exchange(r.error)) return r;  // no answer: status 0, empty text
            const std::string next = redirect_target();
            if (next.empty()) break;
            if (followed == kMaxRedirects) {
                r.error = "Maximum (" + std::to_string(kMaxRedirects) + ") redirects followed";
                return r;
            }
            follow(next);
        }
        if (!decode_body(head_.content_encoding, text_)) {
            r.error = "response body could not be decoded (" + head_.content_encoding + ")";
            return r;
        }
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &r.status);
        r.text = std::move(text_);
        return r;
    }

private:
    void append_header(const std::string& line) {
        curl_slist* next = curl_slist_append(headers_, line.c_str());
        if (next) headers_ = next;
        if (handle_) curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers_);
    }

    // Sends the request as set up now and reads one whole answer; false, with
    // the reason in `error`, when no complete answer arrived.
    bool exchange(std::string& error) {
        error_[0] = '\0';
        text_.clear();
        head_ = AnswerHead{};
        CURLcode rc = curl_easy_perform(handle_);
        if (rc != CURLE_OK) {
            error = error_[0] ? error_ : curl_easy_strerror(rc);
            return false;
        }
        // libcurl takes an HTTP/1 answer whose connection closed inside the
        // header block for a complete answer with an empty body. (HTTP/2
        // delivers whole header blocks or nothing.)
        long version = 0;
        curl_easy_getinfo(handle_, CURLINFO_HTTP_VERSION, &version);
        if (!head_.complete &&
            (version == CURL_HTTP_VERSION_1_0 || version == CURL_HTTP_VERSION_1_1)) {
            error = "connection closed inside the response headers";
            return false;
        }
        return true;
    }

    // Where the answer just read redirects to, when it is a redirect to be
    // followed; empty otherwise (the answer is then the final one).
    std::string redirect_target() {
        char* from = nullptr;
        char* to = nullptr;
        curl_easy_getinfo(handle_, CURLINFO_EFFECTIVE_URL, &from);
        curl_easy_getinfo(handle_, CURLINFO_REDIRECT_URL, &to);
        return same_origin(from, to) ? std::string(to) : std::string();
    }

    // Points the handle at the next hop with the method libcurl itself would
    // use: 301 and 302 turn a POST into a GET, 303 always asks with a GET, the
    // others keep the method and send the whole body again.
    void follow(const std::string& next) {
        long status = 0;
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status);
        if (status == 301 || status == 302 || status == 303) set_get();
        if (reader_) reader_->rewind();
        curl_easy_setopt(handle_, CURLOPT_URL, next.c_str());
    }

    CURL* handle_;
    curl_slist* headers_ = nullptr;
    char error_[CURL_ERROR_SIZE];
    std::string text_;
    AnswerHead head_;
    BodyReader* reader_ = nullptr;  // null for a GET
};

}  // namespace

Response get(const std::string& url, const Headers& headers) {
    ensure_global_init();
    Transfer t(url);
    t.set_headers(headers);
    t.set_get();
    return t.perform();
}

Response post(const std::string& url, const Headers& headers, std::string_view body) {
    return post(url, headers, std::vector<std::string_view>{body});
}

Response post(const std::string& url, const Headers& headers,
              const std::vector<std::string_view>& body_parts) {
    ensure_global_init();
    curl_off_t size = 0;
    for (auto p : body_parts) size += static_cast<curl_off_t>(p.size());
    BodyReader reader{&body_parts};
    Transfer t(url);
    t.set_headers(headers);
    // curl would otherwise send "Expect: 100-continue" for large bodies and
    // wait for the server before sending.
    t.suppress_header("Expect");
    t.set_post_body(&reader, size);
    return t.perform();
}

}  // namespace net
