// The shard payload pipeline of the upload: raw records -> one gzip stream ->
// Base64 text (its SHA-256 computed as the text is produced) -> request body
// sent from its parts. Records go in as they are read, so a shard is never
// held raw. The deflate stage sits behind `Compressor` so that another
// compressor (a parallel one, say) can take its place.
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

// zlib's deflate at level -1 with window bits 31 (gzip wrapper).
std::unique_ptr<Compressor> make_deflate_compressor(ByteSink& sink);

using CompressorFactory = std::function<std::unique_ptr<Compressor>(ByteSink&)>;
// The compressor every shard field uses; an empty function restores deflate.
void set_compressor_factory(CompressorFactory factory);
std::unique_ptr<Compressor> make_compressor(ByteSink& sink);

// Base64 text written once as bytes arrive, with an optional running SHA-256
// over the text itself.
class Base64Writer : public ByteSink {
public:
    explicit Base64Writer(bool with_checksum);
    void write(const unsigned char* data, size_t size) override;
    // Pads the last group and hands over the text; the checksum is then
    // available until the next reset.
    std::string finish();
    const std::string& checksum() const { return checksum_; }
    void reset();

private:
    void append_encoded(const unsigned char* data, size_t size);
    void hash_from(size_t offset);

    std::string text_;
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
        std::string text;      // Base64 of the gzip stream
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
// string fields are kept outside the object (the big Base64 texts), as a list
// of parts pointing into those texts. The outside texts must be ones that
// need no JSON escaping (Base64 text) and their keys must not be in the
// object. The texts must outlive the body.
class RequestBody {
public:
    RequestBody(const nlohmann::json& request,
                const std::map<std::string, std::string_view>& outside);
    const std::vector<std::string_view>& parts() const { return parts_; }
    size_t size() const;
    std::string joined() const;

private:
    std::vector<std::string> owned_;
    std::vector<std::string_view> parts_;
};

}  // namespace rest_client::upload
