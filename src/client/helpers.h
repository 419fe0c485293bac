// Helpers of the service client: Base64, gzip, SHA-256, readable sizes, file
// reading, the numbers and words typed by users, and the terminal echo. They
// keep no state and report failures by throwing standard exceptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rest_client {

// ---- Base64 and SHA-256 --------------------------------------------------------------

// RFC 4648 Base64 of n bytes into out (room for (n + 2) / 3 * 4 characters),
// padded with "=", no line breaks; returns the characters written.
size_t base64_encode_to(const unsigned char* bytes, size_t n, char* out);
std::string base64_encode(const std::string& text);
std::string base64_encode(const unsigned char* bytes, unsigned long length);

// A SHA-256 digest computed piece by piece; hex() ends it and starts anew.
class Sha256 {
public:
    Sha256();
    void update(const char* data, size_t size);
    std::string hex();  // 64 lower-case hexadecimal digits

private:
    struct Free {
        void operator()(void* ctx) const;
    };
    std::unique_ptr<void, Free> ctx_;
};
std::string calculate_sha256(const std::string& text);

// One gzip stream holding the whole input, from the upload's compressor.
std::vector<unsigned char> gzipCompress(const std::vector<unsigned char>& data, int level);

std::string to_readable_size(uint64_t bytes);
int extractFirstElement(const std::string& shape);
void set_stdin_echo(bool enable);

// ---- files ---------------------------------------------------------------------------------

// A data file opened once for reading: everything read from it comes from
// that one open, whatever happens to its path meanwhile. Opening a missing
// file or a directory throws std::runtime_error(open_failure + path); so does
// every read that fails for another reason than the end of the file
// ("Failed to read file: " + path), a read too large to allocate included.
class InputFile {
public:
    InputFile(const std::string& path, const std::string& open_failure);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // The next line without its newline; false at the end of the file.
    bool getline(std::string& line);
    // Up to `want` bytes, fewer only at the end of the file.
    size_t read(std::string& buffer, size_t want);
    // A regular file can be read again from its start through stream().
    bool regular() const { return regular_; }
    std::istream& stream() { return in_; }
    const std::string& path() const { return path_; }

private:
    void check();

    std::string path_;
    bool regular_ = false;
    std::unique_ptr<std::streambuf> buffer_;
    std::istream in_{nullptr};
};

std::string readFileContents(const std::string& path);
std::vector<unsigned char> readFileAsBinary(const std::string& path);

// ---- numbers and words typed by users -----------------------------------------------------

// The C library's decimal conversion of a 32-bit integer: leading white
// space, an optional sign, at least one digit; what follows is ignored.
// Nothing when there is no number or it is out of range.
std::optional<int32_t> parse_int32(const std::string& text);

// std::stoi, any failure rethrown as std::invalid_argument(message).
int to_int(const std::string& text, const std::string& message);

// An unsigned decimal number at `pos`: white space, an optional plus sign,
// then digits. Moves `pos` past it; nothing when there are no digits or the
// number does not fit 64 bits.
std::optional<uint64_t> read_unsigned(const std::string& text, size_t& pos);

// "true"/"yes"/"1" and "false"/"no"/"0" in any case; nothing for other words.
std::optional<bool> yes_no_word(const std::string& word);

}  // namespace rest_client
