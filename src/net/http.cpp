#include "net/http.h"

#include <curl/curl.h>

#include <cstring>
#include <memory>

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

int on_seek(void* user, curl_off_t offset, int origin) {
    // Redirects that keep the body rewind it to the start.
    if (origin != SEEK_SET || offset != 0) return CURL_SEEKFUNC_CANTSEEK;
    static_cast<BodyReader*>(user)->rewind();
    return CURL_SEEKFUNC_OK;
}

// Owns one curl handle with its header list and error buffer.
class Transfer {
public:
    explicit Transfer(const std::string& url) : handle_(curl_easy_init()) {
        error_[0] = '\0';
        if (!handle_) return;
        curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, error_);
        curl_easy_setopt(handle_, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(handle_, CURLOPT_MAXREDIRS, 50L);
        curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(handle_, CURLOPT_ACCEPT_ENCODING, "deflate, gzip");
        curl_easy_setopt(handle_, CURLOPT_COOKIEFILE, "");
        curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, on_write);
        curl_easy_setopt(handle_, CURLOPT_WRITEDATA, &text_);
    }
    ~Transfer() {
        if (handle_) curl_easy_cleanup(handle_);
        if (headers_) curl_slist_free_all(headers_);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    void set_headers(const Headers& headers) {
        for (const auto& [name, value] : headers) {
            // "Name:" with nothing after it removes a header curl would add.
            std::string line = value.empty() ? name + ":" : name + ": " + value;
            curl_slist* next = curl_slist_append(headers_, line.c_str());
            if (next) headers_ = next;
        }
        if (handle_) curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers_);
    }

    void set_post_body(BodyReader* reader, curl_off_t size) {
        if (!handle_) return;
        curl_easy_setopt(handle_, CURLOPT_POST, 1L);
        curl_easy_setopt(handle_, CURLOPT_POSTFIELDSIZE_LARGE, size);
        curl_easy_setopt(handle_, CURLOPT_READFUNCTION, on_read);
        curl_easy_setopt(handle_, CURLOPT_READDATA, reader);
        curl_easy_setopt(handle_, CURLOPT_SEEKFUNCTION, on_seek);
        curl_easy_setopt(handle_, CURLOPT_SEEKDATA, reader);
    }

    void set_get() {
        if (handle_) curl_easy_setopt(handle_, CURLOPT_HTTPGET, 1L);
    }

    Response perform() {
        Response r;
        if (!handle_) {
            r.error = "curl_easy_init failed";
            return r;
        }
        CURLcode rc = curl_easy_perform(handle_);
        if (rc != CURLE_OK) {
            // No usable answer: status 0 and an empty text.
            r.error = error_[0] ? error_ : curl_easy_strerror(rc);
            return r;
        }
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &r.status);
        r.text = std::move(text_);
        return r;
    }

private:
    CURL* handle_;
    curl_slist* headers_ = nullptr;
    char error_[CURL_ERROR_SIZE];
    std::string text_;
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
    // curl would otherwise send "Expect: 100-continue" for large bodies and
    // wait for the server before sending.
    Headers all = headers;
    all.emplace_back("Expect", "");
    t.set_headers(all);
    t.set_post_body(&reader, size);
    return t.perform();
}

}  // namespace net
