// The shard payload pipeline of the upload: raw records -> one gzip stream ->
// Base64 text in fixed-size chunks (its SHA-256 computed as the text is
// produced) -> request body sent from its parts. Records go in as they are
// read, so a shard is never held raw, and the Base64 text is the only copy of
// the shard in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/helpers.h"
#include "gzip/compressor.h"

namespace rest_client::upload {

// Text kept in chunks of a fixed size, so that it grows without ever being
// copied into a bigger buffer; it is sent as a list of body parts.
class ChunkedText {
public:
    // A multiple of 4, so a Base64 group never straddles two chunks.
    static constexpr size_t kChunkSize = size_t(1) << 20;

    size_t size() const;
    bool empty() const { return chunks_.empty(); }
    std::vector<std::string_view> parts() const;
    std::string joined() const;
    // The last chunk when it has room left, else a new empty one.
    std::string& chunk_with_room();
    void clear();

private:
    std::vector<std::string> chunks_;
};

// Base64 text written once as bytes arrive, with an optional running SHA-256
// over the text itself.
class Base64Writer : public gzip::ByteSink {
public:
    explicit Base64Writer(bool with_checksum);
    void write(const unsigned char* data, size_t size) override;
    // Pads the last group and hands over the text; the checksum is then
    // available until the next reset.
    ChunkedText finish();
    const std::string& checksum() const { return checksum_; }
    void reset();

private:
    void encode(const unsigned char* data, size_t size);

    ChunkedText text_;
    unsigned char carry_[3] = {0, 0, 0};
    size_t carried_ = 0;
    std::unique_ptr<Sha256> sha_;  // only when a checksum is wanted
    std::string checksum_;
};

// One Base64-of-gzip request field (file_data, string_id_txt), fed with raw
// bytes as they come.
class EncodedField {
public:
    explicit EncodedField(bool with_checksum);
    ~EncodedField();
    void append(std::string_view bytes);
    uint64_t raw_size() const { return raw_size_; }

    struct Encoded {
        ChunkedText text;      // Base64 of the gzip stream
        std::string checksum;  // SHA-256 of the text, when asked for
    };
    // Ends the field and starts a fresh, empty one.
    Encoded finish();
    // Drops the field's contents and starts a fresh, empty one.
    void discard();

private:
    Base64Writer base64_;
    std::unique_ptr<gzip::Compressor> compressor_;
    uint64_t raw_size_ = 0;
};

}  // namespace rest_client::upload
