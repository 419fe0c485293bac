// A read that fails before the end of a file ends the upload with an error
// naming the file: never with the success line, and what was sent before
// the failure stays as it was.
#include "support/failing_reads.h"
#include "upload_testing.h"

using namespace upload_testing;
using rest_client::OptionMap;
using test_support::FailingReads;

namespace {

class UploadReadFailure : public UploadTest {
protected:
    Outcome upload_failing(const std::string& data, OptionMap options, const std::string& failing,
                           off_t at) {
        SHARD_SIZE = 64 * 1024;
        FailingReads fail(failing, at);
        return upload(data, std::move(options));
    }
    void expect_read_error(const Outcome& o, const std::string& path) {
        EXPECT_FALSE(o.result);
        EXPECT_EQ(o.out.find("Successfully uploaded"), std::string::npos) << o.out;
        const std::string want = red("Error in upload: Failed to read file: " + path);
        ASSERT_GE(o.out.size(), want.size());
        EXPECT_EQ(o.out.substr(o.out.size() - want.size()), want) << o.out;
    }
};

std::string lines(size_t count, const std::string& line) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += line;
    return text;
}

}  // namespace

TEST_F(UploadReadFailure, DataFilesOfEveryFormat) {
    Scratch dir;
    const std::string csv = dir.write("a.csv", "id,x,y\n" + lines(60000, "17,0.25,0.5\n"));
    const std::string svm = dir.write("a.svm", lines(60000, "1 3:0.25 7:0.5\n"));
    const std::string bin = dir.write("a.bin", std::string(1200000, '\x07'));
    struct Case {
        std::string path;
        OptionMap options;
        size_t shards_before;  // text is read a line at a time, binary a MiB at a time
    } cases[] = {
        {csv, {{"file_format", "csv"}, {"has_field_names", "true"}, {"collection_name", "d"},
               {"vector_type", "dense"}}, 3},
        {svm, {{"file_format", "libsvm"}, {"collection_name", "d"}}, 3},
        {bin, {{"file_format", "binary"}, {"collection_name", "d"}, {"binary_dim", "8"},
               {"binary_dtype", "uint8"}}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        service->clear_log();
        const Outcome o = upload_failing(c.path, c.options, c.path, 200 * 1024);
        expect_read_error(o, c.path);
        // The shards before the failure went out; nothing after it did.
        EXPECT_EQ(shards().size(), c.shards_before);
    }
}

TEST_F(UploadReadFailure, StringIdsFile) {
    Scratch dir;
    const std::string svm = dir.write("a.svm", lines(60000, "1 3:0.25 7:0.5\n"));
    const std::string ids = dir.write("ids.txt", lines(60000, "some-id\n"));
    OptionMap options{{"file_format", "libsvm"}, {"collection_name", "d"},
                      {"string_ids_file_path", ids}};
    expect_read_error(upload_failing(svm, options, ids, 100 * 1024), ids);

    // A directory is no ids file, as it is no data file.
    options["string_ids_file_path"] = dir.path("");
    const Outcome o = upload(svm, options);
    EXPECT_FALSE(o.result);
    EXPECT_NE(o.out.find(red("Error in upload: Failed to open " + dir.path(""))), std::string::npos)
        << o.out;
}
