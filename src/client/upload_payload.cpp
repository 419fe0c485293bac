#include "client/upload_payload.h"

#include <algorithm>
#include <stdexcept>

#include "client/parallel_gzip.h"
#include "client/service_call.h"

namespace rest_client::upload {

namespace {

CompressorFactory& compressor_factory() {
    static CompressorFactory factory;
    return factory;
}

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void free_md_ctx(EVP_MD_CTX* ctx) { EVP_MD_CTX_free(ctx); }

}  // namespace

void set_compressor_factory(CompressorFactory factory) { compressor_factory() = std::move(factory); }

std::unique_ptr<Compressor> make_compressor(ByteSink& sink) {
    const auto& factory = compressor_factory();
    return factory ? factory(sink) : make_parallel_gzip_compressor(sink);
}

// ---- chunked text -----------------------------------------------------------------------

size_t ChunkedText::size() const {
    size_t n = 0;
    for (const auto& c : chunks_) n += c.size();
    return n;
}

std::vector<std::string_view> ChunkedText::parts() const {
    std::vector<std::string_view> out;
    out.reserve(chunks_.size());
    for (const auto& c : chunks_)
        if (!c.empty()) out.emplace_back(c);
    return out;
}

std::string ChunkedText::joined() const {
    std::string out;
    out.reserve(size());
    for (const auto& c : chunks_) out += c;
    return out;
}

std::string& ChunkedText::chunk_with_room() {
    if (chunks_.empty() || chunks_.back().size() >= kChunkSize) {
        chunks_.emplace_back();
        // Capacity only: pages are touched as the text is written.
        chunks_.back().reserve(kChunkSize);
    }
    return chunks_.back();
}

void ChunkedText::clear() {
    chunks_.clear();
    chunks_.shrink_to_fit();
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
    carried_ = 0;
    checksum_.clear();
    if (with_checksum_ && EVP_DigestInit_ex(sha_.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
}

void Base64Writer::write(const unsigned char* data, size_t size) {
    // Complete the group left over from the last write first.
    if (carried_ > 0) {
        while (carried_ < 3 && size > 0) {
            carry_[carried_++] = *data++;
            --size;
        }
        if (carried_ < 3) return;
        encode_groups(carry_, 1);
        carried_ = 0;
    }
    const size_t groups = size / 3;
    encode_groups(data, groups);
    for (size_t i = groups * 3; i < size; ++i) carry_[carried_++] = data[i];
}

void Base64Writer::encode_groups(const unsigned char* in, size_t groups) {
    while (groups > 0) {
        std::string& chunk = text_.chunk_with_room();
        const size_t at = chunk.size();
        const size_t fit = std::min(groups, (ChunkedText::kChunkSize - at) / 4);
        chunk.resize(at + fit * 4);
        char* const start = &chunk[at];
        char* out = start;
        for (size_t g = 0; g < fit; ++g, in += 3) {
            const uint32_t v = (uint32_t(in[0]) << 16) | (uint32_t(in[1]) << 8) | in[2];
            out[0] = kAlphabet[(v >> 18) & 63];
            out[1] = kAlphabet[(v >> 12) & 63];
            out[2] = kAlphabet[(v >> 6) & 63];
            out[3] = kAlphabet[v & 63];
            out += 4;
        }
        hash(start, fit * 4);
        groups -= fit;
    }
}

void Base64Writer::hash(const char* text, size_t size) {
    if (!with_checksum_ || size == 0) return;
    if (EVP_DigestUpdate(sha_.get(), text, size) != 1) throw std::runtime_error("SHA-256 failed");
}

ChunkedText Base64Writer::finish() {
    if (carried_ > 0) {
        const uint32_t v = (uint32_t(carry_[0]) << 16) | (carried_ == 2 ? uint32_t(carry_[1]) << 8 : 0);
        char last[4] = {kAlphabet[(v >> 18) & 63], kAlphabet[(v >> 12) & 63],
                        carried_ == 2 ? kAlphabet[(v >> 6) & 63] : '=', '='};
        text_.chunk_with_room().append(last, 4);
        hash(last, 4);
        carried_ = 0;
    }
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
    ChunkedText text = std::move(text_);
    text_ = ChunkedText();
    return text;
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

RequestBody::RequestBody(const nlohmann::json& request, const Outside& outside) {
    nlohmann::json keys = request;
    for (const auto& entry : outside) keys[entry.first] = nullptr;

    // Segments in order: an owned text, or the parts of an outside text.
    struct Segment {
        bool owned;
        size_t index;
        const std::vector<std::string_view>* views;
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
        segments.push_back({true, owned_.size() - 1, nullptr});
        segments.push_back({false, 0, &o->second});
        text = "\"";
    }
    text += '}';
    owned_.push_back(std::move(text));
    segments.push_back({true, owned_.size() - 1, nullptr});
    // Views into owned_ are taken only now that it no longer grows.
    for (const auto& s : segments) {
        if (s.owned) {
            parts_.emplace_back(owned_[s.index]);
        } else {
            for (std::string_view v : *s.views)
                if (!v.empty()) parts_.push_back(v);
        }
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
