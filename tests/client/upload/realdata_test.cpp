// Uploads of real data files that Debian ships (none of them written here),
// compared byte for byte with what each shard must hold. A test is skipped
// when its package is not installed:
//   liblinear-tools       examples/heart_scale (libsvm)
//   python3-statsmodels   data sets in CSV with field names
//   python3-vega-datasets iris.json (a JSON array)
//   dataset-fashion-mnist images, uint8 records of 784 bytes
#include <zlib.h>

#include "upload_testing.h"

using namespace upload_testing;
using rest_client::OptionMap;

namespace {

const std::string kHeartScale = "/usr/share/doc/liblinear-tools/examples/heart_scale";
const std::string kStatsmodels = "/usr/lib/python3/dist-packages/statsmodels/datasets/";
const std::string kIris = "/usr/lib/python3/dist-packages/vega_datasets/_data/iris.json";
const std::string kFashionImages = "/usr/share/datasets/fashion-mnist/train-images-idx3-ubyte.gz";
const std::string kFashionTestImages = "/usr/share/datasets/fashion-mnist/t10k-images-idx3-ubyte.gz";

bool exists(const std::string& path) { return std::filesystem::exists(path); }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Reads a .gz file through zlib's own reader.
std::string read_gzip_file(const std::string& path) {
    std::string out;
    gzFile f = gzopen(path.c_str(), "rb");
    if (!f) return out;
    char buf[1 << 16];
    int n;
    while ((n = gzread(f, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    gzclose(f);
    return out;
}

uint32_t big_endian32(const std::string& bytes, size_t at) {
    return (uint32_t(uint8_t(bytes[at])) << 24) | (uint32_t(uint8_t(bytes[at + 1])) << 16) |
           (uint32_t(uint8_t(bytes[at + 2])) << 8) | uint32_t(uint8_t(bytes[at + 3]));
}

class UploadRealData : public UploadTest {
protected:
    void check(const std::string& path, const OptionMap& options, const std::vector<std::string>& records,
               const ShardModel& model, int32_t shard_size) {
        SCOPED_TRACE(path + " at " + std::to_string(shard_size));
        SHARD_SIZE = shard_size;
        service->clear_log();
        Outcome o = upload(path, options);
        EXPECT_TRUE(o.result) << o.out;
        ModelResult want = model_shards(records, model, shard_size);
        expect_shards(shards(), want.shards);
        expect_no_problems();
    }
    Scratch files;
};

}  // namespace

TEST_F(UploadRealData, LibsvmHeartScale) {
    if (!exists(kHeartScale)) GTEST_SKIP() << "liblinear-tools is not installed";
    const std::string text = read_file(kHeartScale);
    std::vector<std::string> records = text_records(text);
    ASSERT_EQ(records.size(), 270u);
    const OptionMap options{{"file_format", "libsvm"}, {"collection_name", "heart"}};
    for (int32_t size : {209715200, 4096, int32_t(records[0].size()), 0})
        check(kHeartScale, options, records, ShardModel{}, size);

    // String ids: as many as the lines, then fewer.
    std::string equal, shorter;
    for (size_t i = 0; i < records.size(); ++i) {
        equal += "heart-" + std::to_string(i) + "\n";
        if (i < 200) shorter += "heart-" + std::to_string(i) + "\n";
    }
    for (const std::string& ids : {equal, shorter}) {
        ShardModel model;
        model.id_lines = split_lines(ids);
        OptionMap with_ids = options;
        with_ids["string_ids_file_path"] = files.write("heart_ids.txt", ids);
        check(kHeartScale, with_ids, records, model, 3000);
    }
}

TEST_F(UploadRealData, CsvDataSetsWithFieldNames) {
    const char* names[] = {"macrodata/macrodata.csv", "star98/star98.csv", "longley/longley.csv",
                           "cancer/cancer.csv", "anes96/anes96.csv"};
    if (!exists(kStatsmodels + names[0])) GTEST_SKIP() << "python3-statsmodels is not installed";
    const OptionMap options{{"file_format", "csv"}, {"has_field_names", "true"},
                            {"collection_name", "stats"}, {"vector_type", "dense"}};
    for (const char* name : names) {
        const std::string path = kStatsmodels + name;
        if (!exists(path)) continue;
        std::vector<std::string> lines = text_records(read_file(path));
        ShardModel model;
        model.header = lines.front();
        model.always_last = true;
        std::vector<std::string> records(lines.begin() + 1, lines.end());
        for (int32_t size : {209715200, 8192, 1024, int32_t(model.header.size() + records[0].size())})
            check(path, options, records, model, size);
    }
}

TEST_F(UploadRealData, JsonIris) {
    if (!exists(kIris)) GTEST_SKIP() << "python3-vega-datasets is not installed";
    json array = json::parse(read_file(kIris));
    ASSERT_EQ(array.size(), 150u);
    std::vector<std::string> records;
    for (const auto& e : array) records.push_back(e.dump());
    ShardModel model;
    model.json_array = true;
    model.always_last = true;
    const OptionMap options{{"file_format", "json"}, {"has_field_names", "true"}, {"collection_name", "iris"},
                            {"vector_type", "dense"}, {"vector_data_field_name", "petalLength"}};
    for (int32_t size : {209715200, 2000, 0}) {
        StdinFeed in("");
        check(kIris, options, records, model, size);
        json joined = json::array();
        for (const auto& data : shard_data())
            for (const auto& e : json::parse(data)) joined.push_back(e);
        EXPECT_EQ(joined, array);
    }
}

TEST_F(UploadRealData, BinaryFashionMnistImages) {
    if (!exists(kFashionImages)) GTEST_SKIP() << "dataset-fashion-mnist is not installed";
    const std::string idx = read_gzip_file(kFashionImages);
    ASSERT_GE(idx.size(), 16u);
    ASSERT_EQ(big_endian32(idx, 0), 2051u);  // idx3 of unsigned bytes
    const uint32_t count = big_endian32(idx, 4);
    const uint32_t pixels = big_endian32(idx, 8) * big_endian32(idx, 12);
    ASSERT_EQ(pixels, 784u);
    ASSERT_EQ(idx.size(), 16u + size_t(count) * pixels);
    // The images after the 16-byte header, as uint8 records of 784.
    const std::string images = idx.substr(16);
    const std::string path = files.write("images.u8", images);
    std::vector<std::string> records;
    records.reserve(count);
    for (size_t i = 0; i < count; ++i) records.push_back(images.substr(i * pixels, pixels));
    const OptionMap options{{"file_format", "binary"}, {"collection_name", "fashion"},
                            {"binary_dim", "784"}, {"binary_dtype", "uint8"}};
    check(path, options, records, ShardModel{}, 16 << 20);
    EXPECT_EQ(shards().size(), 3u);
}

TEST_F(UploadRealData, BinaryFashionMnistTestImagesReadAsFloat32) {
    if (!exists(kFashionTestImages)) GTEST_SKIP() << "dataset-fashion-mnist is not installed";
    const std::string images = read_gzip_file(kFashionTestImages).substr(16);
    ASSERT_EQ(images.size(), 10000u * 784);
    const std::string path = files.write("test-images.u8", images);
    // Read as float32 the bytes are records of 3136, the incomplete last one
    // dropped.
    std::vector<std::string> wide;
    for (size_t at = 0; at + 4 * 784 <= images.size(); at += 4 * 784) wide.push_back(images.substr(at, 4 * 784));
    ASSERT_EQ(wide.size(), 2500u);
    const OptionMap options{{"file_format", "binary"}, {"collection_name", "fashion"},
                            {"binary_dim", "784"}, {"binary_dtype", "float32"}};
    check(path, options, wide, ShardModel{}, 1 << 20);
    EXPECT_EQ(shards().size(), 8u);
}
