// A small synchronous HTTP client over libcurl. It knows nothing of the
// service: a request is a URL, headers and a body; the result is a value.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace net {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Response {
    long status = 0;     // 0 when no answer arrived
    std::string text;    // empty when no answer arrived
    std::string error;   // transport error text, empty on an answer
};

// Every call uses a fresh handle: peer certificates verified, gzip/deflate
// offered and decoded, no time-out, cookies kept in memory for the life of the
// one request. Redirects are followed (at most 50; one more is no answer) only
// while they keep the scheme, host and port of the request: the headers and
// body may hold a key, so a redirect anywhere else is not followed and its 3xx
// is the answer. An answer cut short (in its headers, its body or its
// compressed stream) is no answer: status 0 and an empty text.
Response get(const std::string& url, const Headers& headers);
Response post(const std::string& url, const Headers& headers, std::string_view body);
// The body is sent as the concatenation of the parts, without joining them
// into one buffer first.
Response post(const std::string& url, const Headers& headers,
              const std::vector<std::string_view>& body_parts);

}  // namespace net
