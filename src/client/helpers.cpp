// Base64, gzip, SHA-256, readable sizes, file reading, typed numbers and
// words, shape texts and the terminal echo switch.
#include "client/helpers.h"

#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iomanip>
#include <locale>
#include <new>
#include <sstream>
#include <stdexcept>

#include "gzip/parallel_gzip.h"

namespace rest_client {

// ---- Base64 and SHA-256 --------------------------------------------------------------

size_t base64_encode_to(const unsigned char* bytes, size_t n, char* out) {
    // One call takes an int's worth of input; whole groups keep the pieces joinable.
    constexpr size_t kStep = size_t(3) << 28;
    size_t written = 0;
    for (size_t at = 0; at < n; at += kStep) {
        const size_t len = std::min(kStep, n - at);
        written += static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out + written),
                                                       bytes + at, static_cast<int>(len)));
    }
    return written;
}

std::string base64_encode(const unsigned char* bytes, unsigned long length) {
    std::string out((length + 2) / 3 * 4 + 1, '\0');  // EVP_EncodeBlock ends with a NUL
    out.resize(base64_encode_to(bytes, length, &out[0]));
    return out;
}

std::string base64_encode(const std::string& text) {
    return base64_encode(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

void Sha256::Free::operator()(void* ctx) const { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx)); }

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_ || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_.get()), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
}

void Sha256::update(const char* data, size_t size) {
    if (size > 0 && EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_.get()), data, size) != 1)
        throw std::runtime_error("SHA-256 failed");
}

std::string Sha256::hex() {
    auto* ctx = static_cast<EVP_MD_CTX*>(ctx_.get());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx, digest, &length) != 1 ||
        EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1)
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

std::string calculate_sha256(const std::string& text) {
    Sha256 sha;
    sha.update(text.data(), text.size());
    return sha.hex();
}

// ---- gzip, sizes, shapes, echo -----------------------------------------------------------

std::vector<unsigned char> gzipCompress(const std::vector<unsigned char>& data, int level) {
    struct VectorSink : gzip::ByteSink {
        std::vector<unsigned char> bytes;
        void write(const unsigned char* d, size_t n) override { bytes.insert(bytes.end(), d, d + n); }
    } sink;
    gzip::ParallelGzipOptions options;
    options.level = level;
    gzip::ParallelGzip compressor(sink, options);
    compressor.write(reinterpret_cast<const char*>(data.data()), data.size());
    compressor.finish();
    return std::move(sink.bytes);
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

// ---- files ---------------------------------------------------------------------------------

InputFile::InputFile(const std::string& path, const std::string& open_failure) : path_(path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(open_failure + path);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw std::runtime_error(open_failure + path);
    }
    regular_ = S_ISREG(st.st_mode);
    // The stream buffer owns the descriptor once it holds it, and closes it.
    auto buffer = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::in | std::ios::binary);
    if (!buffer->is_open()) {
        ::close(fd);
        throw std::runtime_error(open_failure + path);
    }
    buffer_ = std::move(buffer);
    in_.rdbuf(buffer_.get());
}

InputFile::~InputFile() = default;

// The stream marks a failed read (an I/O error, or memory that could not be
// had for a record) as bad; only the end of the file is a normal ending.
void InputFile::check() {
    if (in_.bad()) throw std::runtime_error("Failed to read file: " + path_);
}

bool InputFile::getline(std::string& line) {
    const bool got = static_cast<bool>(std::getline(in_, line));
    check();
    return got;
}

size_t InputFile::read(std::string& buffer, size_t want) {
    // Grown as data arrives, so a short file never costs a whole (possibly
    // huge) request's worth of memory.
    constexpr size_t kStep = size_t(1) << 20;
    buffer.clear();
    while (buffer.size() < want) {
        const size_t step = std::min(want - buffer.size(), kStep);
        const size_t at = buffer.size();
        buffer.resize(at + step);
        in_.read(&buffer[at], static_cast<std::streamsize>(step));
        const size_t got = static_cast<size_t>(in_.gcount());
        buffer.resize(at + got);
        check();
        if (got < step) break;
    }
    return buffer.size();
}

namespace {

std::string read_whole(const std::string& path, const std::string& open_failure) {
    InputFile file(path, open_failure);
    std::string all, piece;
    while (file.read(piece, size_t(1) << 20) > 0) all += piece;
    return all;
}

}  // namespace

std::string readFileContents(const std::string& path) {
    return read_whole(path, "Could not open file: ");
}

std::vector<unsigned char> readFileAsBinary(const std::string& path) {
    const std::string all = read_whole(path, "Failed to open file: ");
    return std::vector<unsigned char>(all.begin(), all.end());
}

// ---- numbers and words typed by users -----------------------------------------------------

std::optional<int32_t> parse_int32(const std::string& text) {
    const char* start = text.c_str();
    while (*start == ' ' || (*start >= '\t' && *start <= '\r')) ++start;
    const char* digits = start;
    if (*digits == '+' || *digits == '-') ++digits;
    if (*digits < '0' || *digits > '9') return std::nullopt;
    errno = 0;
    const long long value = std::strtoll(start, nullptr, 10);
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
}

int to_int(const std::string& text, const std::string& message) {
    try {
        return std::stoi(text);
    } catch (const std::logic_error&) {  // invalid_argument or out_of_range
        throw std::invalid_argument(message);
    }
}

std::optional<uint64_t> read_unsigned(const std::string& text, size_t& pos) {
    size_t i = pos;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i < text.size() && text[i] == '+') ++i;
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    uint64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const unsigned digit = static_cast<unsigned>(text[i] - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    pos = i;
    return value;
}

std::optional<bool> yes_no_word(const std::string& word) {
    std::string lowered = word;
    for (char& c : lowered)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (lowered == "true" || lowered == "yes" || lowered == "1") return true;
    if (lowered == "false" || lowered == "no" || lowered == "0") return false;
    return std::nullopt;
}

}  // namespace rest_client
