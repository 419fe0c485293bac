// Base64, gzip, readable sizes, SHA-256, whole-file reads, shape texts and the
// terminal echo switch.
#include <openssl/evp.h>
#include <termios.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <iomanip>
#include <iterator>
#include <locale>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "client/rest_client.h"

namespace rest_client {

const std::string base64_chars =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

namespace {

template <typename Out>
void encode_base64_into(const unsigned char* in, size_t n, Out& out) {
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
        out.push_back(base64_chars[(v >> 18) & 63]);
        out.push_back(base64_chars[(v >> 12) & 63]);
        out.push_back(base64_chars[(v >> 6) & 63]);
        out.push_back(base64_chars[v & 63]);
    }
    if (n - i == 1) {
        uint32_t v = uint32_t(in[i]) << 16;
        out.push_back(base64_chars[(v >> 18) & 63]);
        out.push_back(base64_chars[(v >> 12) & 63]);
        out.push_back('=');
        out.push_back('=');
    } else if (n - i == 2) {
        uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8);
        out.push_back(base64_chars[(v >> 18) & 63]);
        out.push_back(base64_chars[(v >> 12) & 63]);
        out.push_back(base64_chars[(v >> 6) & 63]);
        out.push_back('=');
    }
}

}  // namespace

std::string base64_encode(const std::string& text) {
    std::string out;
    encode_base64_into(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out);
    return out;
}

std::string base64_encode(const unsigned char* bytes, unsigned long length) {
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    encode_base64_into(bytes, length, out);
    return out;
}

std::vector<unsigned char> gzipCompress(const std::vector<unsigned char>& data, int level) {
    z_stream zs{};
    if (deflateInit2(&zs, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    // One deflate call takes less than 4 GiB of input; feed larger inputs in
    // pieces so nothing is silently cut off.
    std::vector<unsigned char> result;
    std::vector<unsigned char> buffer(262144);
    size_t offset = 0;
    int rc = Z_OK;
    do {
        size_t chunk = std::min<size_t>(data.size() - offset, 1u << 30);
        zs.next_in = const_cast<Bytef*>(data.data() + offset);
        zs.avail_in = static_cast<uInt>(chunk);
        offset += chunk;
        int flush = offset == data.size() ? Z_FINISH : Z_NO_FLUSH;
        do {
            zs.next_out = buffer.data();
            zs.avail_out = static_cast<uInt>(buffer.size());
            rc = deflate(&zs, flush);
            if (rc == Z_STREAM_ERROR) break;
            result.insert(result.end(), buffer.data(), buffer.data() + (buffer.size() - zs.avail_out));
        } while (zs.avail_out == 0 || (flush == Z_FINISH && rc == Z_OK));
    } while (rc != Z_STREAM_ERROR && offset < data.size());
    deflateEnd(&zs);
    if (rc != Z_STREAM_END) throw std::runtime_error("Exception during zlib compression");
    return result;
}

std::string to_readable_size(uint64_t bytes) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::fixed << std::setprecision(2);
    constexpr uint64_t KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024, TiB = GiB * 1024;
    if (bytes < MiB)
        out << static_cast<double>(bytes) / KiB << " KB";
    else if (bytes < GiB)
        out << static_cast<double>(bytes) / MiB << " MB";
    else if (bytes < TiB)
        out << static_cast<double>(bytes) / GiB << " GB";
    else
        out << static_cast<double>(bytes) / TiB << " TB";
    return out.str();
}

std::string calculate_sha256(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(hex[digest[i] >> 4]);
        out.push_back(hex[digest[i] & 15]);
    }
    return out;
}

std::string readFileContents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("Could not open file: " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<unsigned char> readFileAsBinary(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("Failed to open file: " + path);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>());
}

// Matches the whole text against \s*\(\s*(\d+)\s*,\s*\d+\s*\)\s* by hand:
// the library's regex matcher recurses once per character, so a long shape
// text from the service would overflow the stack.
int extractFirstElement(const std::string& shape) {
    size_t i = 0;
    auto blanks = [&] {
        // \s of the classic locale: blank, tab, newline, vertical tab, form feed, return.
        while (i < shape.size() && (shape[i] == ' ' || (shape[i] >= '\t' && shape[i] <= '\r'))) ++i;
    };
    auto digits = [&] {
        const size_t start = i;
        while (i < shape.size() && shape[i] >= '0' && shape[i] <= '9') ++i;
        return i > start;
    };
    auto mark = [&](char c) {
        if (i >= shape.size() || shape[i] != c) return false;
        ++i;
        return true;
    };
    blanks();
    bool ok = mark('(');
    blanks();
    const size_t first = i;
    ok = ok && digits();
    const size_t first_end = i;
    blanks();
    ok = ok && mark(',');
    blanks();
    ok = ok && digits();
    blanks();
    ok = ok && mark(')');
    blanks();
    if (!ok || i != shape.size()) throw std::invalid_argument("Invalid dimension format: " + shape);
    return std::stoi(shape.substr(first, first_end - first));
}

void set_stdin_echo(bool enable) {
    termios tty{};
    tcgetattr(STDIN_FILENO, &tty);
    if (enable)
        tty.c_lflag |= ECHO;
    else
        tty.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &tty);
}

}  // namespace rest_client
