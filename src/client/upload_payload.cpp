#include "client/upload_payload.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

#include "client/service_call.h"

namespace rest_client::upload {

namespace {

constexpr size_t kInputBuffer = 1 << 20;   // records gathered before deflate runs
constexpr size_t kOutputBuffer = 262144;   // gzip bytes handed to the sink at a time

class DeflateCompressor : public Compressor {
public:
    explicit DeflateCompressor(ByteSink& sink) : sink_(sink), out_(kOutputBuffer) {
        if (deflateInit2(&zs_, -1, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("deflateInit2 failed");
        in_.reserve(kInputBuffer);
    }
    ~DeflateCompressor() override { deflateEnd(&zs_); }
    DeflateCompressor(const DeflateCompressor&) = delete;
    DeflateCompressor& operator=(const DeflateCompressor&) = delete;

    void write(const char* data, size_t size) override {
        const auto* bytes = reinterpret_cast<const unsigned char*>(data);
        if (in_.size() + size <= kInputBuffer) {
            in_.insert(in_.end(), bytes, bytes + size);
            return;
        }
        flush_input();
        if (size < kInputBuffer) {
            in_.insert(in_.end(), bytes, bytes + size);
            return;
        }
        deflate_bytes(bytes, size, Z_NO_FLUSH);
    }

    void finish() override {
        deflate_bytes(in_.data(), in_.size(), Z_FINISH);
        in_.clear();
    }

    void reset() override {
        in_.clear();
        if (deflateReset(&zs_) != Z_OK) throw std::runtime_error("Exception during zlib compression");
    }

private:
    void flush_input() {
        if (in_.empty()) return;
        deflate_bytes(in_.data(), in_.size(), Z_NO_FLUSH);
        in_.clear();
    }

    void deflate_bytes(const unsigned char* data, size_t size, int flush) {
        // One deflate call takes less than 4 GiB; larger inputs go in pieces.
        do {
            size_t piece = std::min<size_t>(size, size_t(1) << 30);
            zs_.next_in = const_cast<Bytef*>(data);
            zs_.avail_in = static_cast<uInt>(piece);
            data += piece;
            size -= piece;
            int mode = size == 0 ? flush : Z_NO_FLUSH;
            for (;;) {
                zs_.next_out = out_.data();
                zs_.avail_out = static_cast<uInt>(out_.size());
                int rc = deflate(&zs_, mode);
                if (rc == Z_STREAM_ERROR) throw std::runtime_error("Exception during zlib compression");
                size_t produced = out_.size() - zs_.avail_out;
                if (produced) sink_.write(out_.data(), produced);
                if (mode == Z_FINISH) {
                    if (rc == Z_STREAM_END) break;
                } else if (zs_.avail_out != 0) {
                    break;
                }
            }
        } while (size > 0);
    }

    ByteSink& sink_;
    z_stream zs_{};
    std::vector<unsigned char> in_;
    std::vector<unsigned char> out_;
};

CompressorFactory& compressor_factory() {
    static CompressorFactory factory;
    return factory;
}

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void free_md_ctx(EVP_MD_CTX* ctx) { EVP_MD_CTX_free(ctx); }

}  // namespace

std::unique_ptr<Compressor> make_deflate_compressor(ByteSink& sink) {
    return std::make_unique<DeflateCompressor>(sink);
}

void set_compressor_factory(CompressorFactory factory) { compressor_factory() = std::move(factory); }

std::unique_ptr<Compressor> make_compressor(ByteSink& sink) {
    const auto& factory = compressor_factory();
    return factory ? factory(sink) : make_deflate_compressor(sink);
}

// ---- Base64 -------------------------------------------------------------------------

Base64Writer::Base64Writer(bool with_checksum)
    : with_checksum_(with_checksum), sha_(nullptr, free_md_ctx) {
    if (with_checksum_) {
        sha_.reset(EVP_MD_CTX_new());
        if (!sha_) throw std::runtime_error("SHA-256 failed");
    }
    reset();
}

void Base64Writer::reset() {
    text_.clear();
    text_.shrink_to_fit();
    carried_ = 0;
    checksum_.clear();
    if (with_checksum_ && EVP_DigestInit_ex(sha_.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
}

void Base64Writer::write(const unsigned char* data, size_t size) {
    const size_t start = text_.size();
    // Complete the group left over from the last write first.
    while (carried_ > 0 && carried_ < 3 && size > 0) {
        carry_[carried_++] = *data++;
        --size;
    }
    if (carried_ == 3) {
        append_encoded(carry_, 3);
        carried_ = 0;
    }
    size_t whole = size / 3 * 3;
    append_encoded(data, whole);
    for (size_t i = whole; i < size; ++i) carry_[carried_++] = data[i];
    hash_from(start);
}

void Base64Writer::append_encoded(const unsigned char* in, size_t n) {
    size_t at = text_.size();
    text_.resize(at + n / 3 * 4);
    char* out = &text_[0] + at;
    for (size_t i = 0; i + 3 <= n; i += 3) {
        uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
        *out++ = kAlphabet[(v >> 18) & 63];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = kAlphabet[(v >> 6) & 63];
        *out++ = kAlphabet[v & 63];
    }
}

void Base64Writer::hash_from(size_t offset) {
    if (!with_checksum_ || offset == text_.size()) return;
    if (EVP_DigestUpdate(sha_.get(), text_.data() + offset, text_.size() - offset) != 1)
        throw std::runtime_error("SHA-256 failed");
}

std::string Base64Writer::finish() {
    const size_t start = text_.size();
    if (carried_ == 1) {
        uint32_t v = uint32_t(carry_[0]) << 16;
        text_ += kAlphabet[(v >> 18) & 63];
        text_ += kAlphabet[(v >> 12) & 63];
        text_ += "==";
    } else if (carried_ == 2) {
        uint32_t v = (uint32_t(carry_[0]) << 16) | (uint32_t(carry_[1]) << 8);
        text_ += kAlphabet[(v >> 18) & 63];
        text_ += kAlphabet[(v >> 12) & 63];
        text_ += kAlphabet[(v >> 6) & 63];
        text_ += '=';
    }
    carried_ = 0;
    hash_from(start);
    if (with_checksum_) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(sha_.get(), digest, &length) != 1)
            throw std::runtime_error("SHA-256 failed");
        static const char hex[] = "0123456789abcdef";
        checksum_.clear();
        for (unsigned int i = 0; i < length; ++i) {
            checksum_ += hex[digest[i] >> 4];
            checksum_ += hex[digest[i] & 15];
        }
    }
    return std::move(text_);
}

// ---- one field ------------------------------------------------------------------------

EncodedField::EncodedField(bool with_checksum)
    : base64_(with_checksum), compressor_(make_compressor(base64_)) {}

void EncodedField::append(std::string_view bytes) {
    compressor_->write(bytes.data(), bytes.size());
    raw_size_ += bytes.size();
}

EncodedField::Encoded EncodedField::finish() {
    compressor_->finish();
    Encoded result;
    result.text = base64_.finish();
    result.checksum = base64_.checksum();
    discard();
    return result;
}

void EncodedField::discard() {
    compressor_->reset();
    base64_.reset();
    raw_size_ = 0;
}

// ---- request body -----------------------------------------------------------------------

RequestBody::RequestBody(const nlohmann::json& request,
                         const std::map<std::string, std::string_view>& outside) {
    nlohmann::json keys = request;
    for (const auto& entry : outside) keys[entry.first] = nullptr;

    // Segments in order: an owned text, or (index into `outside` order) a view.
    struct Segment {
        bool owned;
        size_t index;
        std::string_view view;
    };
    std::vector<Segment> segments;
    std::string text = "{";
    bool first = true;
    for (auto it = keys.begin(); it != keys.end(); ++it) {
        if (!first) text += ',';
        first = false;
        text += serialize(nlohmann::json(it.key()));
        text += ':';
        auto o = outside.find(it.key());
        if (o == outside.end()) {
            text += serialize(it.value());
            continue;
        }
        text += '"';
        owned_.push_back(std::move(text));
        segments.push_back({true, owned_.size() - 1, {}});
        segments.push_back({false, 0, o->second});
        text = "\"";
    }
    text += '}';
    owned_.push_back(std::move(text));
    segments.push_back({true, owned_.size() - 1, {}});
    // Views into owned_ are taken only now that it no longer grows.
    for (const auto& s : segments) {
        std::string_view v = s.owned ? std::string_view(owned_[s.index]) : s.view;
        if (!v.empty()) parts_.push_back(v);
    }
}

size_t RequestBody::size() const {
    size_t n = 0;
    for (auto p : parts_) n += p.size();
    return n;
}

std::string RequestBody::joined() const {
    std::string out;
    out.reserve(size());
    for (auto p : parts_) out.append(p);
    return out;
}

}  // namespace rest_client::upload
