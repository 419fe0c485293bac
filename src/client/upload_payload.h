// The shard payload pipeline of the upload: raw records -> one gzip stream ->
// Base64 text in fixed-size chunks (its SHA-256 computed as the text is
// produced) -> request body sent from its parts. Records go in as they are
// read, so a shard is never held raw, and the Base64 text is the only copy of
// the shard in memory. The deflate stage sits behind `Compressor`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

namespace rest_client::upload {

// Receives the bytes of a gzip stream as they are produced.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual void write(const unsigned char* data, size_t size) = 0;
};

// Turns the bytes written to it into one gzip stream (one member, header and
// trailer) on its sink.
class Compressor {
public:
    virtual ~Compressor() = default;
    virtual void write(const char* data, size_t size) = 0;
    // Writes everything still pending and the trailer.
    virtual void finish() = 0;
    // Drops whatever is pending and starts a new stream on the same sink.
    virtual void reset() = 0;
};

using CompressorFactory = std::function<std::unique_ptr<Compressor>(ByteSink&)>;
// The compressor every shard field uses; an empty function restores the
// default, the parallel gzip compressor (parallel_gzip.h).
void set_compressor_factory(CompressorFactory factory);
std::unique_ptr<Compressor> make_compressor(ByteSink& sink);

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
class Base64Writer : public ByteSink {
public:
    explicit Base64Writer(bool with_checksum);
    void write(const unsigned char* data, size_t size) override;
    // Pads the last group and hands over the text; the checksum is then
    // available until the next reset.
    ChunkedText finish();
    const std::string& checksum() const { return checksum_; }
    void reset();

private:
    void encode_groups(const unsigned char* data, size_t groups);
    void hash(const char* text, size_t size);

    ChunkedText text_;
    unsigned char carry_[3] = {0, 0, 0};
    size_t carried_ = 0;
    bool with_checksum_;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> sha_;
    std::string checksum_;
};

// One Base64-of-gzip request field (file_data, string_id_txt), fed with raw
// bytes as they come.
class EncodedField {
public:
    explicit EncodedField(bool with_checksum);
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
    std::unique_ptr<Compressor> compressor_;
    uint64_t raw_size_ = 0;
};

// The compact, key-sorted serialisation of a request object in which some
// string fields are kept outside the object (the big Base64 texts, each given
// as its list of parts), as a list of parts pointing into those texts. The
// outside texts must be ones that need no JSON escaping (Base64 text) and
// their keys must not be in the object. The texts must outlive the body.
class RequestBody {
public:
    using Outside = std::map<std::string, std::vector<std::string_view>>;
    RequestBody(const nlohmann::json& request, const Outside& outside);
    const std::vector<std::string_view>& parts() const { return parts_; }
    size_t size() const;
    std::string joined() const;

private:
    std::vector<std::string> owned_;
    std::vector<std::string_view> parts_;
};

}  // namespace rest_client::upload
