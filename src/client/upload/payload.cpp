#include "client/upload/payload.h"

#include <algorithm>

#include "gzip/parallel_gzip.h"

namespace rest_client::upload {

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
        // Capacity only: pages are touched as the text is written. One more
        // byte for the NUL that the Base64 encoder writes after its text.
        chunks_.back().reserve(kChunkSize + 1);
    }
    return chunks_.back();
}

void ChunkedText::clear() {
    chunks_.clear();
    chunks_.shrink_to_fit();
}

// ---- Base64 -------------------------------------------------------------------------

Base64Writer::Base64Writer(bool with_checksum) {
    if (with_checksum) sha_ = std::make_unique<Sha256>();
    reset();
}

void Base64Writer::reset() {
    text_.clear();
    carried_ = 0;
    checksum_.clear();
    if (sha_) sha_->hex();  // drops whatever was hashed
}

void Base64Writer::write(const unsigned char* data, size_t size) {
    // Complete the group left over from the last write first.
    if (carried_ > 0) {
        while (carried_ < 3 && size > 0) {
            carry_[carried_++] = *data++;
            --size;
        }
        if (carried_ < 3) return;
        encode(carry_, 3);
        carried_ = 0;
    }
    const size_t whole = size / 3 * 3;
    encode(data, whole);
    for (size_t i = whole; i < size; ++i) carry_[carried_++] = data[i];
}

// Encodes whole groups (or the padded last one) into the chunks.
void Base64Writer::encode(const unsigned char* in, size_t size) {
    while (size > 0) {
        std::string& chunk = text_.chunk_with_room();
        const size_t at = chunk.size();
        const size_t bytes = std::min(size, (ChunkedText::kChunkSize - at) / 4 * 3);
        chunk.resize(at + (bytes + 2) / 3 * 4 + 1);  // room for the encoder's NUL
        const size_t written = base64_encode_to(in, bytes, &chunk[at]);
        chunk.resize(at + written);
        if (sha_) sha_->update(&chunk[at], written);
        in += bytes;
        size -= bytes;
    }
}

ChunkedText Base64Writer::finish() {
    if (carried_ > 0) {
        encode(carry_, carried_);
        carried_ = 0;
    }
    if (sha_) checksum_ = sha_->hex();
    ChunkedText text = std::move(text_);
    text_ = ChunkedText();
    return text;
}

// ---- one field ------------------------------------------------------------------------

EncodedField::EncodedField(bool with_checksum)
    : base64_(with_checksum), compressor_(std::make_unique<gzip::ParallelGzip>(base64_)) {}

EncodedField::~EncodedField() = default;

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

}  // namespace rest_client::upload
