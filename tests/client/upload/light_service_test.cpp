// The fake service's light mode, which the upload benchmark runs against:
// it sees the same requests as the strict service, logs each /upload body
// with its Base64 fields emptied and its real size, and answers the same way.
#include "upload_testing.h"

using namespace upload_testing;

TEST_F(UploadTest, LightServiceLogsBodiesWithoutTheirBase64Fields) {
    Scratch files;
    const std::string csv = files.write("data.csv", generated_csv(20000, true));
    std::string ids;
    for (int i = 0; i < 20000; ++i) ids += "id-" + std::to_string(i) + (i % 3 ? " " : "\n");
    const std::string ids_path = files.write("ids.txt", ids);
    const rest_client::OptionMap options{{"file_format", "csv"},         {"has_field_names", "true"},
                                         {"collection_name", "d"},       {"vector_type", "dense"},
                                         {"string_ids_file_path", ids_path}};
    SHARD_SIZE = 200000;

    ASSERT_TRUE(upload(csv, options).result);
    expect_no_problems();
    const std::vector<fake::Request> strict = shards();
    ASSERT_GE(strict.size(), 3u);

    service = std::make_unique<fake::FakeService>(/*light=*/true);
    server_base_url = service->api_url();
    Outcome light_run = upload(csv, options);
    ASSERT_TRUE(light_run.result) << light_run.out;
    const std::vector<fake::Request> light = shards();
    ASSERT_EQ(light.size(), strict.size());
    for (size_t i = 0; i < strict.size(); ++i) {
        json emptied = json::parse(strict[i].body);
        ASSERT_GT(emptied["file_data"].get<std::string>().size(), 8192u);  // spans many reads
        emptied["file_data"] = "";
        emptied["string_id_txt"] = "";
        EXPECT_EQ(light[i].body, emptied.dump()) << i;
        EXPECT_EQ(light[i].body_size, strict[i].body.size()) << i;
    }
    EXPECT_TRUE(service->problems().empty());
    EXPECT_EQ(service->requests("/api/get_upload_data_status").size(), strict.size());
}
