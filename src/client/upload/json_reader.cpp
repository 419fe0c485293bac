#include "client/upload/json_reader.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cfloat>
#include <cstdint>
#include <cstring>
#include <exception>
#include <ios>
#include <limits>
#include <stdexcept>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <nlohmann/json.hpp>

#include "client/service_call.h"

namespace rest_client::upload {

namespace {

using json = nlohmann::json;

const char kChanged[] = "JSON data file changed while it was read";
constexpr size_t kReadBlock = 1 << 20;
constexpr size_t kCheckBytes = 1 << 20;     // element text per chunk of the first pass
constexpr size_t kBatchBytes = 256 * 1024;  // element text per chunk of the second pass

std::runtime_error read_failure(const std::string& path) {
    return std::runtime_error("Failed to read file: " + path);
}

bool is_space(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void skip_space(const char*& p, const char* end) {
    while (p < end && is_space(static_cast<unsigned char>(*p))) ++p;
}

// ---- the library's own reading ------------------------------------------------------------

// Sees every event of the first value and keeps none of it.
class FirstValue {
public:
    bool is_array() const { return is_array_; }

    bool null() { return scalar(); }
    bool boolean(bool) { return scalar(); }
    bool number_integer(json::number_integer_t) { return scalar(); }
    bool number_unsigned(json::number_unsigned_t) { return scalar(); }
    bool number_float(json::number_float_t, const json::string_t&) { return scalar(); }
    bool string(json::string_t&) { return scalar(); }
    bool binary(json::binary_t&) { return scalar(); }
    bool start_object(std::size_t) { return enter(false); }
    bool key(json::string_t&) { return true; }
    bool end_object() { return leave(); }
    bool start_array(std::size_t) { return enter(true); }
    bool end_array() { return leave(); }
    // The same exception a document parse throws.
    template <class Exception>
    bool parse_error(std::size_t, const std::string&, const Exception& error) {
        throw error;
    }

private:
    bool scalar() {
        started_ = true;
        return true;
    }
    bool enter(bool array) {
        if (!started_) is_array_ = array;
        started_ = true;
        if (++depth_ > kMaxDataDepth)
            throw std::runtime_error("JSON value nested deeper than " + std::to_string(kMaxDataDepth) +
                                     " levels");
        return true;
    }
    bool leave() {
        --depth_;
        return true;
    }

    bool started_ = false;
    bool is_array_ = false;
    size_t depth_ = 0;
};

// One thread, byte by byte: slow, but its answer and its error text are the
// ones a document parse gives.
bool check_with_library(std::istream& in, const std::string& path) {
    FirstValue value;
    try {
        json::sax_parse(in, &value, json::input_format_t::json, /*strict=*/false);
    } catch (const std::ios_base::failure&) {
        throw read_failure(path);  // the library reads the buffer itself, which throws
    }
    return value.is_array();
}

// ---- cutting the array into chunks ------------------------------------------------------------

// Bit i of each mask stands for byte i of a 64-byte block.
struct Masks {
    uint64_t quote = 0, backslash = 0, open = 0, close = 0, comma = 0;
};

Masks classify(const unsigned char* p) {
    Masks m;
#if defined(__SSE2__)
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        // Setting bit 0x20 folds '[' onto '{' and ']' onto '}', and nothing else onto them.
        const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
        const auto bits = [k](__m128i eq) {
            return static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(eq))) << (16 * k);
        };
        m.quote |= bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
        m.backslash |= bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
        m.open |= bits(_mm_cmpeq_epi8(folded, _mm_set1_epi8('{')));
        m.close |= bits(_mm_cmpeq_epi8(folded, _mm_set1_epi8('}')));
        m.comma |= bits(_mm_cmpeq_epi8(v, _mm_set1_epi8(',')));
    }
#else
    for (int i = 0; i < 64; ++i) {
        const uint64_t bit = uint64_t(1) << i;
        switch (p[i]) {
            case '"': m.quote |= bit; break;
            case '\\': m.backslash |= bit; break;
            case '[': case '{': m.open |= bit; break;
            case ']': case '}': m.close |= bit; break;
            case ',': m.comma |= bit; break;
            default: break;
        }
    }
#endif
    return m;
}

// Bit i set: an odd number of bits at or below i are set.
uint64_t prefix_xor(uint64_t x) {
    for (int shift = 1; shift < 64; shift *= 2) x ^= x << shift;
    return x;
}

uint64_t bits_below(size_t n) { return n >= 64 ? ~uint64_t(0) : (uint64_t(1) << n) - 1; }

int lowest_bit(uint64_t x) { return __builtin_ctzll(x); }

// The bytes that a backslash escapes; `carry` is 1 when the block's first
// byte is escaped, and is left so for the next block.
uint64_t escaped_bytes(uint64_t backslash, uint64_t& carry) {
    uint64_t escaped = carry;
    carry = 0;
    while (backslash != 0) {  // rare: walked one by one
        const int i = lowest_bit(backslash);
        backslash &= backslash - 1;
        if ((escaped >> i) & 1) continue;  // an escaped backslash escapes nothing
        if (i == 63)
            carry = 1;
        else
            escaped |= uint64_t(1) << (i + 1);
    }
    return escaped;
}

// Cuts the elements of a top-level array into chunks of whole elements, about
// `target` bytes each, without parsing them: it follows only strings (with
// their escapes) and brackets, 64 bytes at a time. Its cuts are right for a
// well-formed array; that the array is one is proved only by parsing every
// chunk whole.
class ArrayChunks {
public:
    enum class Cut {
        more,    // cut at a top-level comma: more elements follow
        last,    // the array's closing bracket ends the chunk
        broken,  // the input ended inside the array, or a brace closed it
    };

    ArrayChunks(std::istream& in, std::string path, size_t target)
        : in_(in), path_(std::move(path)), target_(target), buffer_(kReadBlock) {}

    // Skips a byte order mark and white space; true at an opening bracket,
    // which is then taken.
    bool open();
    // The next chunk's text, white space around it included.
    Cut next(std::string& text);

private:
    bool fill(std::string* text);
    int peek(std::string* text);
    // Follows one block from the state the last one left; the position of
    // the comma or bracket that ends the chunk, or 64.
    size_t follow(const Masks& m, bool want_cut, bool& closed);

    std::istream& in_;
    std::string path_;
    size_t target_;
    std::vector<char> buffer_;
    size_t from_ = 0;  // the chunk's bytes not yet in its text start here
    size_t at_ = 0;
    size_t end_ = 0;
    bool eof_ = false;
    bool in_string_ = false;
    uint64_t escape_carry_ = 0;
    size_t depth_ = 0;  // within the top-level array
};

// Moves what is left to the buffer's front and reads more: false when nothing
// is left. Bytes of the chunk before `at_` go to `text` first.
bool ArrayChunks::fill(std::string* text) {
    if (text != nullptr) text->append(buffer_.data() + from_, at_ - from_);
    const size_t keep = end_ - at_;
    std::memmove(buffer_.data(), buffer_.data() + at_, keep);
    from_ = at_ = 0;
    end_ = keep;
    if (!eof_ && keep < buffer_.size()) {
        const size_t want = buffer_.size() - keep;
        in_.read(buffer_.data() + keep, static_cast<std::streamsize>(want));
        // A failed read must not pass for the end of the file.
        if (in_.bad()) throw read_failure(path_);
        const size_t got = static_cast<size_t>(in_.gcount());
        end_ += got;
        eof_ = got < want;
    }
    return end_ > at_;
}

int ArrayChunks::peek(std::string* text) {
    if (at_ == end_ && !fill(text)) return EOF;
    return static_cast<unsigned char>(buffer_[at_]);
}

bool ArrayChunks::open() {
    // A byte order mark may come first, as the library allows.
    if (peek(nullptr) == 0xEF) {
        for (const int want : {0xEF, 0xBB, 0xBF}) {
            if (peek(nullptr) != want) return false;
            ++at_;
        }
    }
    while (is_space(peek(nullptr))) ++at_;
    if (peek(nullptr) != '[') return false;
    ++at_;
    return true;
}

ArrayChunks::Cut ArrayChunks::next(std::string& text) {
    text.clear();
    from_ = at_;
    for (;;) {
        if (end_ - at_ < 64 && !eof_) fill(&text);
        const size_t n = std::min<size_t>(64, end_ - at_);
        if (n == 0) break;
        const auto* block = reinterpret_cast<const unsigned char*>(buffer_.data() + at_);
        std::array<unsigned char, 64> padded;
        if (n < 64) {  // the end of the input: white space after it changes nothing
            padded.fill(' ');
            std::memcpy(padded.data(), block, n);
            block = padded.data();
        }
        const bool want_cut = text.size() + (at_ - from_) >= target_;
        bool closed = false;
        const size_t stop = follow(classify(block), want_cut, closed);
        if (stop < 64) {
            text.append(buffer_.data() + from_, at_ + stop - from_);
            const char ender = buffer_[at_ + stop];
            at_ += stop + 1;
            if (!closed) return Cut::more;
            return ender == ']' ? Cut::last : Cut::broken;
        }
        at_ += n;
    }
    text.append(buffer_.data() + from_, at_ - from_);
    return Cut::broken;
}

size_t ArrayChunks::follow(const Masks& m, bool want_cut, bool& closed) {
    const uint64_t quotes = m.quote & ~escaped_bytes(m.backslash, escape_carry_);
    // Set from an opening quote up to (not including) its closing one.
    const uint64_t in_string = prefix_xor(quotes) ^ (in_string_ ? ~uint64_t(0) : 0);
    const uint64_t open = m.open & ~in_string;
    uint64_t brackets = (m.open | m.close) & ~in_string;
    uint64_t top = 0;  // bytes at the array's own level
    size_t segment = 0;
    size_t stop = 64;
    while (brackets != 0) {
        const int i = lowest_bit(brackets);
        brackets &= brackets - 1;
        if (depth_ == 0) top |= bits_below(static_cast<size_t>(i)) & ~bits_below(segment);
        if ((open >> i) & 1) {
            ++depth_;
        } else if (depth_ > 0) {
            --depth_;
        } else {
            stop = static_cast<size_t>(i);
            closed = true;
            break;
        }
        segment = static_cast<size_t>(i) + 1;
    }
    if (!closed && depth_ == 0) top |= ~bits_below(segment);
    const uint64_t cuts = m.comma & ~in_string & top;
    if (want_cut && cuts != 0 && static_cast<size_t>(lowest_bit(cuts)) < stop) {
        // Outside every string and bracket: the next block starts afresh.
        closed = false;
        in_string_ = false;
        escape_carry_ = 0;
        depth_ = 0;
        return static_cast<size_t>(lowest_bit(cuts));
    }
    in_string_ = (in_string >> 63) != 0;
    return stop;
}

// ---- parsing values -------------------------------------------------------------------------

enum ByteClass : unsigned char { kPlain, kQuote, kBackslash, kControl, kMultiByte };

// How a byte inside a string is read.
constexpr std::array<unsigned char, 256> string_classes() {
    std::array<unsigned char, 256> classes{};
    for (int c = 0; c < 256; ++c)
        classes[c] = c < 0x20 ? kControl : c == '"' ? kQuote : c == '\\' ? kBackslash : c >= 0x80 ? kMultiByte : kPlain;
    return classes;
}
constexpr std::array<unsigned char, 256> kStringClass = string_classes();

bool is_digit(const char* p, const char* end) { return p < end && *p >= '0' && *p <= '9'; }

void skip_digits(const char*& p, const char* end) {
    while (is_digit(p, end)) ++p;
}

// Takes one well-formed UTF-8 sequence of two or more bytes (the library's
// own table: no overlong forms, no surrogates, nothing past U+10FFFF).
bool take_multibyte(const char*& p, const char* end) {
    const auto c = static_cast<unsigned char>(*p);
    int more = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        more = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        more = 2;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        more = 3;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return false;
    }
    if (end - p <= more) return false;
    for (int i = 1; i <= more; ++i) {
        const auto b = static_cast<unsigned char>(p[i]);
        if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xBF)) return false;
    }
    p += more + 1;
    return true;
}

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A code point inside a string as the library writes it: the short escapes,
// \u00xx for other control characters, the rest as UTF-8.
void append_escaped(std::string& out, uint32_t cp) {
    switch (cp) {
        case '"': out += "\\\""; return;
        case '\\': out += "\\\\"; return;
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        default: break;
    }
    if (cp < 0x20) {
        const char* const hex = "0123456789abcdef";
        out += "\\u00";
        out += hex[cp >> 4];
        out += hex[cp & 0xF];
        return;
    }
    append_utf8(out, cp);
}

// Four hex digits after "\u".
bool take_hex4(const char*& p, const char* end, uint32_t& value) {
    if (end - p < 6 || p[0] != '\\' || p[1] != 'u') return false;
    value = 0;
    for (int i = 2; i < 6; ++i) {
        const char c = p[i];
        const int digit = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return false;
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    p += 6;
    return true;
}

// One escape sequence at the backslash: its code point, a surrogate pair
// joined.
bool take_escape(const char*& p, const char* end, uint32_t& cp) {
    if (end - p < 2) return false;
    switch (p[1]) {
        case '"': cp = '"'; break;
        case '\\': cp = '\\'; break;
        case '/': cp = '/'; break;
        case 'b': cp = '\b'; break;
        case 'f': cp = '\f'; break;
        case 'n': cp = '\n'; break;
        case 'r': cp = '\r'; break;
        case 't': cp = '\t'; break;
        case 'u': {
            if (!take_hex4(p, end, cp)) return false;
            if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
            if (cp < 0xD800 || cp > 0xDBFF) return true;
            uint32_t low = 0;
            if (!take_hex4(p, end, low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            return true;
        }
        default: return false;
    }
    p += 2;
    return true;
}

// The power of ten of a number's first significant digit, plus its exponent
// (saturated); false for zero, which never overflows.
bool leading_power(const char* p, const char* end, long& power) {
    if (*p == '-') ++p;
    const char* digits = p;
    skip_digits(p, end);
    long lead = 0;
    if (*digits != '0') {
        lead = static_cast<long>(p - digits) - 1;
    } else {
        if (p == end || *p != '.') return false;
        const char* frac = ++p;
        while (is_digit(p, end) && *p == '0') ++p;
        if (!is_digit(p, end)) return false;
        lead = -static_cast<long>(p - frac) - 1;
        skip_digits(p, end);
    }
    if (p < end && *p == '.') {
        ++p;
        skip_digits(p, end);
    }
    long exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool negative = *p == '-';
        if (*p == '+' || *p == '-') ++p;
        for (; is_digit(p, end); ++p) exponent = std::min(exponent * 10 + (*p - '0'), 1000000000L);
        if (negative) exponent = -exponent;
    }
    power = lead + exponent;
    return true;
}

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A number of at most 15 significant digits whose power of ten lies within
// [-22, 22]: its digits and its power of ten are then exact doubles, and one
// product or quotient of them rounds once, so correctly, as strtod does.
struct ShortDecimal {
    uint64_t digits = 0;
    int power = 0;  // the number is digits x 10^power
    bool negative = false;

    // False for a number that is not one.
    bool read(const char* p, const char* end);
    double value() const {
        const auto exact = static_cast<double>(digits);
        const double magnitude = power < 0 ? exact / kPowersOfTen[-power] : exact * kPowersOfTen[power];
        return negative ? -magnitude : magnitude;
    }
    bool append_shortest(std::string& out, double value) const;
};

bool ShortDecimal::read(const char* p, const char* end) {
#if FLT_EVAL_METHOD == 0  // doubles computed as doubles, never wider
    negative = *p == '-';
    if (negative) ++p;
    int significant = 0;
    int scale = 0;
    bool fraction = false;
    for (; p < end && significant <= 15; ++p) {
        if (*p == '.') {
            fraction = true;
        } else if (*p >= '0' && *p <= '9') {
            digits = digits * 10 + static_cast<uint64_t>(*p - '0');
            if (digits != 0) ++significant;
            if (fraction) --scale;
        } else {
            break;
        }
    }
    int exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool minus = *p == '-';
        if (*p == '+' || *p == '-') ++p;
        for (int n = 0; p < end && n < 4; ++p, ++n) exponent = exponent * 10 + (*p - '0');
        if (minus) exponent = -exponent;
    }
    power = scale + exponent;
    return p == end && significant <= 15 && power >= -22 && power <= 22;
#else
    static_cast<void>(p);
    static_cast<void>(end);
    return false;
#endif
}

// The library writes a double in the shortest form that reads back as it,
// found by its digit search. A decimal of at most 15 significant digits is
// the only decimal that short among the reals that round to its double
// (their interval is narrower than the spacing of such decimals), so when it
// lies well inside that interval, clear of the ends where the search's own
// approximation works, the search finds exactly its digits: only the
// library's formatting of them is left to do. False when it cannot tell.
bool ShortDecimal::append_shortest(std::string& out, double value) const {
    if (digits == 0) return false;
    const double magnitude = std::fabs(value);
    uint64_t bits = 0;
    std::memcpy(&bits, &magnitude, sizeof bits);
    const uint64_t biased_exponent = bits >> 52;
    // A power of two has an uneven interval; below 2^-969 half an ulp is no normal double.
    if ((bits & ((uint64_t(1) << 52) - 1)) == 0 || biased_exponent <= 54) return false;
    const uint64_t half_ulp_bits = (biased_exponent - 53) << 52;
    double half_ulp = 0;
    std::memcpy(&half_ulp, &half_ulp_bits, sizeof half_ulp);
    const double scale = kPowersOfTen[power < 0 ? -power : power];
    const auto exact = static_cast<double>(digits);
    // The error of one rounded product or quotient is itself a double: fma gives it exactly.
    const bool inside = power >= 0 ? std::fabs(std::fma(exact, scale, -magnitude)) < 0.9 * half_ulp
                                   : std::fabs(std::fma(magnitude, scale, -exact)) < 0.9 * half_ulp * scale;
    if (!inside) return false;
    uint64_t shortest = digits;
    int shortest_power = power;
    for (; shortest % 10 == 0; shortest /= 10) ++shortest_power;
    std::array<char, 64> text;
    char* first = text.data();
    if (negative) *first++ = '-';
    int length = 0;
    for (uint64_t rest = shortest; rest != 0; rest /= 10) ++length;
    for (int i = length - 1; i >= 0; --i, shortest /= 10) first[i] = static_cast<char>('0' + shortest % 10);
    // The library's own layout: exponent limits as its writer uses them.
    char* const last = nlohmann::detail::dtoa_impl::format_buffer(first, length, shortest_power, -4,
                                                                   std::numeric_limits<double>::digits10);
    out.append(text.data(), static_cast<size_t>(last - text.data()));
    return true;
}

// Whether the library, reading this number as a double, gets a finite one.
bool fits_double(const char* p, const char* end) {
    long power = 0;
    if (!leading_power(p, end, power) || power < 308) return true;
    if (power > 308) return false;
    double value = 0;  // at the edge: the rounding decides, as the library's strtod does
    return std::from_chars(p, end, value).ec == std::errc();
}

// A well-formed number as the library writes out the value it reads: what
// fits a 64-bit integer stays one and is written back as read ("-0" as "0"),
// the rest becomes a double written in the library's own shortest form.
// False when the library's double would differ from ours (out of range).
bool append_number(std::string& out, const char* start, const char* end, bool integer) {
    if (integer) {
        const bool negative = *start == '-';
        const auto digits = static_cast<size_t>(end - start) - (negative ? 1 : 0);
        if (negative && digits == 1 && start[1] == '0') {
            out += '0';
            return true;
        }
        int64_t signed_value = 0;
        uint64_t unsigned_value = 0;
        if (digits <= 18 || (negative ? std::from_chars(start, end, signed_value).ec
                                      : std::from_chars(start, end, unsigned_value).ec) == std::errc()) {
            out.append(start, static_cast<size_t>(end - start));
            return true;
        }
    }
    double value = 0;
    ShortDecimal decimal;
    if (decimal.read(start, end)) {
        value = decimal.value();
        if (decimal.append_shortest(out, value)) return true;
    } else {
        const auto read = std::from_chars(start, end, value);
        if (read.ec != std::errc() || read.ptr != end) return false;
    }
    std::array<char, 64> text;
    char* const text_end = nlohmann::detail::to_chars(text.data(), text.data() + text.size(), value);
    out.append(text.data(), static_cast<size_t>(text_end - text.data()));
    return true;
}

// Reads JSON values exactly as the JSON library's parser accepts them: its
// strict grammar, well-formed UTF-8 in strings, surrogate escapes in pairs,
// numbers that fit a double, and no deeper than the data limit. With kEmit
// it also writes each value out compact as the library writes the parsed
// value: object keys sorted (the last of equal keys kept), strings escaped
// again, numbers in the library's own forms. False means "not so sure": the
// caller asks the library. No recursion, so any depth is safe on a worker.
template <bool kEmit>
class ValueParser {
public:
    // Reads the value at p (no white space before it) and leaves p after it;
    // with kEmit its compact text is appended to `out`.
    bool parse(const char*& p, const char* end, std::string* out = nullptr);

private:
    enum class Step { value, done, fail };
    struct Frame {
        bool object;
        size_t content;  // where the container's text starts after its bracket
        size_t members;  // its first entry in members_
        size_t keys;     // where its keys start in keys_
    };
    struct Member {
        size_t key, key_size;  // in keys_
        size_t begin, end;     // its "key":value text in out_
    };

    Step open(const char*& p, const char* end);
    Step after_value(const char*& p, const char* end);
    bool key(const char*& p, const char* end);
    void close_object(const Frame& frame);
    bool scalar(const char*& p, const char* end);
    bool literal(const char*& p, const char* end, std::string_view word);
    bool string(const char*& p, const char* end, bool is_key);
    bool number(const char*& p, const char* end);
    void emit(char c) {
        if constexpr (kEmit) *out_ += c;
    }

    std::string* out_ = nullptr;
    std::vector<Frame> stack_;
    std::vector<Member> members_;
    std::string keys_;  // the keys of the open objects, unescaped
    std::string moved_;
};

template <bool kEmit>
bool ValueParser<kEmit>::parse(const char*& p, const char* end, std::string* out) {
    out_ = out;
    stack_.clear();
    members_.clear();
    keys_.clear();
    for (;;) {
        if (p == end) return false;
        Step step;
        if (*p == '[' || *p == '{')
            step = open(p, end);
        else
            step = scalar(p, end) ? after_value(p, end) : Step::fail;
        if (step != Step::value) return step == Step::done;
    }
}

template <bool kEmit>
typename ValueParser<kEmit>::Step ValueParser<kEmit>::open(const char*& p, const char* end) {
    // The top-level array is one level more than this element's own.
    if (stack_.size() + 2 > kMaxDataDepth) return Step::fail;
    const bool object = *p == '{';
    emit(*p);
    ++p;
    stack_.push_back({object, kEmit ? out_->size() : 0, members_.size(), keys_.size()});
    skip_space(p, end);
    if (p < end && *p == (object ? '}' : ']')) {
        emit(*p);
        ++p;
        stack_.pop_back();
        return after_value(p, end);
    }
    if (object && !key(p, end)) return Step::fail;
    return Step::value;
}

// Closes the containers that end here and moves on to the next value.
template <bool kEmit>
typename ValueParser<kEmit>::Step ValueParser<kEmit>::after_value(const char*& p, const char* end) {
    while (!stack_.empty()) {
        skip_space(p, end);
        if (p == end) return Step::fail;
        const Frame& frame = stack_.back();
        if (kEmit && frame.object && (*p == ',' || *p == '}')) members_.back().end = out_->size();
        if (*p == ',') {
            emit(',');
            ++p;
            skip_space(p, end);
            if (frame.object && !key(p, end)) return Step::fail;
            return Step::value;
        }
        if (*p != (frame.object ? '}' : ']')) return Step::fail;
        ++p;
        if (!frame.object)
            emit(']');
        else if constexpr (kEmit)
            close_object(frame);
        stack_.pop_back();
    }
    return Step::done;
}

// A member's key, the colon and the white space up to its value.
template <bool kEmit>
bool ValueParser<kEmit>::key(const char*& p, const char* end) {
    if (p == end || *p != '"') return false;
    Member member{keys_.size(), 0, kEmit ? out_->size() : 0, 0};
    if (!string(p, end, true)) return false;
    skip_space(p, end);
    if (p == end || *p != ':') return false;
    emit(':');
    ++p;
    skip_space(p, end);
    if constexpr (kEmit) {
        member.key_size = keys_.size() - member.key;
        members_.push_back(member);
    }
    return true;
}

// The members in key order, as the library's object keeps them.
template <bool kEmit>
void ValueParser<kEmit>::close_object(const Frame& frame) {
    const auto first = members_.begin() + static_cast<std::ptrdiff_t>(frame.members);
    const auto key = [this](const Member& m) { return std::string_view(keys_).substr(m.key, m.key_size); };
    const auto before = [&key](const Member& a, const Member& b) { return key(a) < key(b); };
    if (std::adjacent_find(first, members_.end(), [&before](const Member& a, const Member& b) {
            return !before(a, b);
        }) != members_.end()) {
        std::stable_sort(first, members_.end(), before);
        moved_.assign(*out_, frame.content, std::string::npos);
        out_->resize(frame.content);
        for (auto m = first; m != members_.end(); ++m) {
            if (m + 1 != members_.end() && key(*m) == key(m[1])) continue;  // the last one wins
            if (out_->size() > frame.content) *out_ += ',';
            out_->append(moved_, m->begin - frame.content, m->end - m->begin);
        }
    }
    *out_ += '}';
    members_.resize(frame.members);
    keys_.resize(frame.keys);
}

template <bool kEmit>
bool ValueParser<kEmit>::scalar(const char*& p, const char* end) {
    switch (*p) {
        case '"': return string(p, end, false);
        case 't': return literal(p, end, "true");
        case 'f': return literal(p, end, "false");
        case 'n': return literal(p, end, "null");
        default: return number(p, end);
    }
}

template <bool kEmit>
bool ValueParser<kEmit>::literal(const char*& p, const char* end, std::string_view word) {
    if (static_cast<size_t>(end - p) < word.size() || std::memcmp(p, word.data(), word.size()) != 0)
        return false;
    if constexpr (kEmit) out_->append(word);
    p += word.size();
    return true;
}

template <bool kEmit>
bool ValueParser<kEmit>::string(const char*& p, const char* end, bool is_key) {
    emit('"');
    const char* run = ++p;  // bytes written as they are
    const auto flush = [&] {
        if constexpr (kEmit) {
            out_->append(run, static_cast<size_t>(p - run));
            if (is_key) keys_.append(run, static_cast<size_t>(p - run));
        }
    };
    for (;;) {
        while (p < end && kStringClass[static_cast<unsigned char>(*p)] == kPlain) ++p;
        if (p == end) return false;
        switch (kStringClass[static_cast<unsigned char>(*p)]) {
            case kQuote:
                flush();
                emit('"');
                ++p;
                return true;
            case kMultiByte:
                if (!take_multibyte(p, end)) return false;
                break;
            case kBackslash: {
                flush();
                uint32_t cp = 0;
                if (!take_escape(p, end, cp)) return false;
                if constexpr (kEmit) {
                    append_escaped(*out_, cp);
                    if (is_key) append_utf8(keys_, cp);
                }
                run = p;
                break;
            }
            default:
                return false;  // a control character
        }
    }
}

template <bool kEmit>
bool ValueParser<kEmit>::number(const char*& p, const char* end) {
    const char* const start = p;
    if (*p == '-') ++p;
    if (!is_digit(p, end)) return false;
    const char* const digits = p;
    if (*p == '0')
        ++p;
    else
        skip_digits(p, end);
    const size_t integer_digits = static_cast<size_t>(p - digits);
    bool integer = true;
    bool exponent = false;
    if (p < end && *p == '.') {
        ++p;
        if (!is_digit(p, end)) return false;
        skip_digits(p, end);
        integer = false;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-')) ++p;
        if (!is_digit(p, end)) return false;
        skip_digits(p, end);
        integer = false;
        exponent = true;
    }
    if constexpr (kEmit) {
        return append_number(*out_, start, p, integer);
    } else {
        // Below 10^300 without an exponent: no double overflows there.
        return (!exponent && integer_digits < 300) || fits_double(start, p);
    }
}

// ---- chunks of elements ---------------------------------------------------------------------

// Whether a chunk is a well-formed list of elements; `whole_array` allows the
// empty list of an empty array.
bool check_chunk(const std::string& text, bool whole_array) {
    ValueParser<false> parser;
    const char* p = text.data();
    const char* const end = p + text.size();
    skip_space(p, end);
    if (p == end) return whole_array;
    for (;;) {
        if (!parser.parse(p, end)) return false;
        skip_space(p, end);
        if (p == end) return true;
        if (*p != ',') return false;
        ++p;
        skip_space(p, end);
    }
}

// Where the element that starts at p ends: at the first comma outside its
// strings and brackets, or at the end of the chunk.
const char* element_end(const char* p, const char* end) {
    size_t depth = 0;
    bool in_string = false;
    for (; p < end; ++p) {
        const char c = *p;
        if (in_string) {
            if (c == '\\' && p + 1 < end)
                ++p;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            if (depth == 0) break;
            --depth;
        } else if (c == ',' && depth == 0) {
            break;
        }
    }
    return p;
}

// An element the fast reading was not sure of, read by the library alone: it
// converts it or throws the error it finds.
const char* compact_with_library(const char* p, const char* end, std::string& out) {
    const char* const stop = element_end(p, end);
    const char* last = stop;
    while (last > p && is_space(static_cast<unsigned char>(last[-1]))) --last;
    out += serialize(json::parse(p, last));
    // The cut followed the same strings and brackets, so only a file that
    // changed under the reading has a closing bracket here.
    if (stop < end && *stop != ',') throw std::runtime_error(kChanged);
    return stop;
}

// Appends the compact texts of the chunk's elements to `out`, and where each
// one ends to `ends`.
void compact_chunk(const std::string& text, bool whole_array, std::string& out, std::vector<size_t>& ends) {
    ValueParser<true> parser;
    const char* p = text.data();
    const char* const end = p + text.size();
    skip_space(p, end);
    if (p == end && whole_array) return;
    for (;;) {
        const size_t mark = out.size();
        const char* next = p;
        bool fast = parser.parse(next, end, &out);
        if (fast) {
            skip_space(next, end);
            fast = next == end || *next == ',';
        }
        if (!fast) {
            out.resize(mark);
            next = compact_with_library(p, end, out);
        }
        ends.push_back(out.size());
        if (next == end) return;
        p = next + 1;
        skip_space(p, end);
    }
}

// The first pass's chunks, checked on the worker threads.
class ParallelCheck {
public:
    explicit ParallelCheck(ArrayChunks& chunks)
        : chunks_(chunks), pool_(gzip::WorkerPool::shared()), max_in_flight_(pool_->size() + 2) {}
    ~ParallelCheck() { pool_->settle(in_flight_); }
    ParallelCheck(const ParallelCheck&) = delete;
    ParallelCheck& operator=(const ParallelCheck&) = delete;

    // True when the array is closed and every chunk is well-formed.
    bool run();

private:
    struct Check {
        std::string text;
        bool whole_array = false;
        bool ok = false;
        std::atomic<bool> done{false};
    };
    // Retires checks from the front, waiting for them while more than `keep`
    // are in flight; false at the first one that failed.
    bool retire(size_t keep);

    ArrayChunks& chunks_;
    std::shared_ptr<gzip::WorkerPool> pool_;
    size_t max_in_flight_;
    std::deque<std::unique_ptr<Check>> in_flight_;
    std::vector<std::unique_ptr<Check>> spare_;
};

bool ParallelCheck::run() {
    for (bool first = true;; first = false) {
        std::unique_ptr<Check> check;
        if (spare_.empty()) {
            check = std::make_unique<Check>();
        } else {
            check = std::move(spare_.back());
            spare_.pop_back();
            check->done.store(false, std::memory_order_relaxed);
        }
        const ArrayChunks::Cut cut = chunks_.next(check->text);
        if (cut == ArrayChunks::Cut::broken) return false;
        check->whole_array = first && cut == ArrayChunks::Cut::last;
        Check* work = check.get();
        in_flight_.push_back(std::move(check));
        try {
            pool_->run([work] {
                try {
                    work->ok = check_chunk(work->text, work->whole_array);
                } catch (...) {
                    work->ok = false;  // out of memory: the library's reading decides
                }
                work->done.store(true, std::memory_order_release);
            });
        } catch (...) {
            in_flight_.pop_back();  // never queued: nothing to wait for
            throw;
        }
        const bool last = cut == ArrayChunks::Cut::last;
        if (!retire(last ? 0 : max_in_flight_ - 1)) return false;
        if (last) return true;
    }
}

bool ParallelCheck::retire(size_t keep) {
    while (!in_flight_.empty()) {
        Check& front = *in_flight_.front();
        if (!front.done.load(std::memory_order_acquire)) {
            if (in_flight_.size() <= keep) return true;
            pool_->wait_until([&front] { return front.done.load(std::memory_order_acquire); });
        }
        if (!front.ok) return false;
        spare_.push_back(std::move(in_flight_.front()));
        in_flight_.pop_front();
    }
    return true;
}

}  // namespace

bool check_json_value(std::istream& in, const std::string& path) {
    {
        ArrayChunks chunks(in, path, kCheckBytes);
        if (chunks.open() && ParallelCheck(chunks).run()) return true;
    }
    // Not an array, or something is wrong with it (or may be): the library's
    // own reading decides, and words the error as a document parse does.
    in.clear();
    in.seekg(0);
    in.clear();  // a stream that never opened reads as empty input, as before
    return check_with_library(in, path);
}

// ---- compact elements -----------------------------------------------------------------------

class CompactElements::Chunks : public ArrayChunks {
public:
    using ArrayChunks::ArrayChunks;
};

struct CompactElements::Batch {
    std::string text;  // whole elements, as cut from the file
    bool whole_array = false;
    std::string out;  // their compact texts, one after another
    std::vector<size_t> ends;
    std::exception_ptr error;  // raised once the elements before it are out
    std::atomic<bool> done{false};

    void run() noexcept {
        try {
            compact_chunk(text, whole_array, out, ends);
        } catch (...) {
            error = std::current_exception();
        }
        done.store(true, std::memory_order_release);
    }
    void clear() {
        out.clear();
        ends.clear();
        error = nullptr;
        done.store(false, std::memory_order_relaxed);
    }
};

CompactElements::CompactElements(std::istream& in, const std::string& path)
    : chunks_(std::make_unique<Chunks>(in, path, kBatchBytes)),
      pool_(gzip::WorkerPool::shared()),
      max_in_flight_(pool_->size() + 2) {
    if (!chunks_->open()) throw std::runtime_error(kChanged);
}

CompactElements::~CompactElements() { pool_->settle(in_flight_); }

void CompactElements::read_ahead() {
    while (!read_all_ && in_flight_.size() < max_in_flight_) {
        std::unique_ptr<Batch> batch;
        if (spare_.empty()) {
            batch = std::make_unique<Batch>();
        } else {
            batch = std::move(spare_.back());
            spare_.pop_back();
            batch->clear();
        }
        try {
            const Chunks::Cut cut = chunks_->next(batch->text);
            if (cut == Chunks::Cut::broken) throw std::runtime_error(kChanged);
            batch->whole_array = first_ && cut == Chunks::Cut::last;
            first_ = false;
            read_all_ = cut == Chunks::Cut::last;
        } catch (...) {
            // Raised in turn, after the elements read before.
            batch->error = std::current_exception();
            batch->done.store(true, std::memory_order_release);
            read_all_ = true;
            in_flight_.push_back(std::move(batch));
            return;
        }
        Batch* work = batch.get();
        in_flight_.push_back(std::move(batch));
        try {
            pool_->run([work] { work->run(); });
        } catch (...) {
            in_flight_.pop_back();
            throw;
        }
    }
}

bool CompactElements::next(std::string_view& compact) {
    for (;;) {
        read_ahead();
        if (in_flight_.empty()) return false;
        Batch& front = *in_flight_.front();
        pool_->wait_until([&front] { return front.done.load(std::memory_order_acquire); });
        if (taken_ < front.ends.size()) {
            const size_t from = taken_ == 0 ? 0 : front.ends[taken_ - 1];
            compact = std::string_view(front.out).substr(from, front.ends[taken_] - from);
            ++taken_;
            return true;
        }
        if (front.error) std::rethrow_exception(front.error);
        spare_.push_back(std::move(in_flight_.front()));
        in_flight_.pop_front();
        taken_ = 0;
    }
}

}  // namespace rest_client::upload
