// The shard payload pipeline: streamed gzip, Base64 and checksum against the
// one-shot helpers and zlib's inflate, and request bodies built from parts
// against the compact sorted serialisation.
#include <gtest/gtest.h>

#include "client/handlers.h"
#include "client/helpers.h"
#include "client/rate_limiter.h"
#include "client/seams.h"
#include "client/state.h"
#include "client/service_call.h"
#include "gzip/parallel_gzip.h"
#include "client/upload/payload.h"
#include "fake/fake_service.h"
#include "upload_testing.h"

using namespace rest_client;
using namespace rest_client::upload;
using upload_testing::pseudo_random_bytes;

namespace {

// Feeds `bytes` to a field in pieces of `piece` bytes (0: all at once).
EncodedField::Encoded encode(const std::string& bytes, size_t piece, bool checksum = true) {
    EncodedField field(checksum);
    if (piece == 0) {
        field.append(bytes);
    } else {
        for (size_t at = 0; at < bytes.size(); at += piece)
            field.append(std::string_view(bytes).substr(at, piece));
    }
    EXPECT_EQ(field.raw_size(), bytes.size());
    return field.finish();
}

struct Gathered : gzip::ByteSink {
    std::vector<unsigned char> bytes;
    void write(const unsigned char* d, size_t n) override { bytes.insert(bytes.end(), d, d + n); }
};

// The gzip stream of the whole input, compressed in one go.
std::vector<unsigned char> gzip_whole(const std::string& bytes) {
    Gathered out;
    gzip::ParallelGzip z(out);
    z.write(bytes.data(), bytes.size());
    z.finish();
    return out.bytes;
}

std::string one_shot(const std::string& bytes) {
    std::vector<unsigned char> z = gzip_whole(bytes);
    return base64_encode(z.data(), z.size());
}

}  // namespace

TEST(ShardPayload, StreamedFieldEqualsOneShotHelpersAndInflates) {
    // Sizes around the Base64 group, a compressor block (128 KiB), a Base64
    // chunk (1 MiB of text) and many of both; pieces of one byte, odd sizes
    // and whole.
    const size_t sizes[] = {0, 1, 2, 3, 4, 1000, 131071, 131072, 131073, 786431, 786432, 5u << 20};
    for (size_t size : sizes) {
        std::string bytes = pseudo_random_bytes(size, static_cast<uint32_t>(size));
        // Make it compressible in parts so deflate does real matching work.
        for (size_t i = 0; i + 64 < size; i += 128) bytes.replace(i, 32, bytes.substr(i + 32, 32));
        const std::string want = one_shot(bytes);
        for (size_t piece : {size_t(0), size_t(7), size_t(65536), size_t(3u << 20)}) {
            if (piece == 7 && size > 2000000) continue;  // byte-sized pieces of big inputs are slow
            EncodedField::Encoded e = encode(bytes, piece);
            const std::string text = e.text.joined();
            EXPECT_EQ(text, want) << size << "/" << piece;
            EXPECT_EQ(e.checksum, calculate_sha256(text)) << size << "/" << piece;
            EXPECT_EQ(e.text.size(), text.size());
            for (std::string_view part : e.text.parts()) EXPECT_LE(part.size(), ChunkedText::kChunkSize);
            bool ok = false;
            std::string zipped = fake::base64_decode(text, &ok);
            ASSERT_TRUE(ok);
            EXPECT_EQ(fake::gunzip(zipped, &ok), bytes) << size << "/" << piece;
            EXPECT_TRUE(ok);
        }
    }
}

TEST(ShardPayload, FieldOfOneBlockIsExactlyZlibsGzip) {
    // Up to one block the stream is the one zlib's gzip wrapper makes.
    for (size_t size : {size_t(0), size_t(1), size_t(5000), size_t(131072)}) {
        const std::string bytes = pseudo_random_bytes(size, 3).substr(0, size / 2) +
                                  std::string(size - size / 2, 'x');
        std::vector<unsigned char> raw(bytes.begin(), bytes.end());
        std::vector<unsigned char> z = gzipCompress(raw, -1);
        EXPECT_EQ(encode(bytes, 1000).text.joined(), base64_encode(z.data(), z.size())) << size;
    }
}

TEST(ShardPayload, FieldStartsAfreshAfterFinishAndDiscard) {
    EncodedField field(true);
    field.append("first shard");
    EncodedField::Encoded first = field.finish();
    EXPECT_EQ(field.raw_size(), 0u);
    field.append(std::string(300000, 'd'));  // several blocks in flight, then dropped
    field.discard();
    field.append("second");
    EncodedField::Encoded second = field.finish();
    EXPECT_EQ(first.text.joined(), one_shot("first shard"));
    EXPECT_EQ(second.text.joined(), one_shot("second"));
    EXPECT_EQ(second.checksum, calculate_sha256(second.text.joined()));
    // Nothing appended is still one complete, empty gzip stream.
    EncodedField::Encoded empty = field.finish();
    EXPECT_EQ(empty.text.joined(), one_shot(""));
    EXPECT_EQ(fake::gunzip(fake::base64_decode(empty.text.joined())), "");
}

TEST(ShardPayload, Base64WriterAcrossGroupBoundaries) {
    // Every cut of short inputs into three writes, and of a longer one.
    for (size_t n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 100}) {
        const std::string bytes = pseudo_random_bytes(n, 7);
        auto p = reinterpret_cast<const unsigned char*>(bytes.data());
        for (size_t a = 0; a <= std::min<size_t>(n, 9); ++a)
            for (size_t b = a; b <= std::min<size_t>(n, 9); ++b) {
                Base64Writer w(true);
                w.write(p, a);
                w.write(p + a, b - a);
                w.write(p + b, n - b);
                std::string text = w.finish().joined();
                EXPECT_EQ(text, base64_encode(bytes)) << n << ": " << a << "," << b;
                EXPECT_EQ(w.checksum(), calculate_sha256(text));
            }
    }
    // Texts ending just before, at and after a chunk boundary, written in
    // pieces that are not multiples of three.
    for (size_t n : {ChunkedText::kChunkSize / 4 * 3 - 1, ChunkedText::kChunkSize / 4 * 3,
                     ChunkedText::kChunkSize / 4 * 3 + 1, ChunkedText::kChunkSize * 2}) {
        const std::string bytes = pseudo_random_bytes(n, 11);
        Base64Writer w(true);
        for (size_t at = 0; at < n; at += 100001)
            w.write(reinterpret_cast<const unsigned char*>(bytes.data()) + at, std::min<size_t>(100001, n - at));
        ChunkedText text = w.finish();
        EXPECT_EQ(text.joined(), base64_encode(bytes)) << n;
        EXPECT_EQ(w.checksum(), calculate_sha256(text.joined())) << n;
        for (std::string_view part : text.parts()) EXPECT_LE(part.size(), ChunkedText::kChunkSize);
        EXPECT_EQ(text.parts().size(), (text.size() + ChunkedText::kChunkSize - 1) / ChunkedText::kChunkSize);
    }
}

TEST(ShardPayload, BodyFromPartsIsTheCompactSortedSerialisation) {
    json request = json::object();
    request["user_api_key"] = "k\"ey";
    request["project_name"] = "pröject \u00e9\t\n";
    request["dataset_name"] = "d";
    request["has_field_names"] = false;
    request["binary_dim"] = 128;
    request["vector_attributes"] = json::array({"1", "a\\b"});
    request["checksum"] = std::string(64, 'f');
    request["zzz"] = json::object({{"b", 1}, {"a", nullptr}});
    const std::string data = one_shot("some,csv\n1,2\n");
    const std::string ids = one_shot("id1\nid2\n");

    for (int with_ids = 0; with_ids < 2; ++with_ids) {
        json full = request;
        full["file_data"] = data;
        // The texts come in several parts, as chunked Base64 text does.
        const std::string_view d(data), i(ids);
        RequestBody::Outside outside{{"file_data", {d.substr(0, 5), d.substr(5, 1), d.substr(6)}}};
        if (with_ids) {
            full["string_id_txt"] = ids;
            outside.emplace("string_id_txt", std::vector<std::string_view>{i.substr(0, 4), i.substr(4)});
        }
        RequestBody body(request, outside);
        EXPECT_EQ(body.joined(), serialize(full));
        EXPECT_EQ(body.size(), serialize(full).size());
    }
    // An empty Base64 text, and an object holding nothing but the outside field.
    RequestBody only(json::object(), {{"file_data", {}}});
    EXPECT_EQ(only.joined(), "{\"file_data\":\"\"}");
}

TEST(ShardPayload, BodyRefusesTextThatIsNotUtf8) {
    json request = json::object();
    request["project_name"] = "bad \xff name";
    EXPECT_THROW(RequestBody(request, {{"file_data", {"QQ=="}}}), json::type_error);
}
