// Upload shard sending and job tracking: the lines, pauses and requests of a
// shard's send, the poll pass after it and the wait loop, and every failure.
#include "upload_testing.h"

#include "client/handlers.h"
#include "client/helpers.h"
#include "client/rate_limiter.h"
#include "client/seams.h"
#include "client/state.h"

using namespace upload_testing;
using rest_client::OptionMap;
using std::chrono::milliseconds;

namespace {

const OptionMap kCsv{{"file_format", "csv"}, {"has_field_names", "true"},
                     {"collection_name", "d"}, {"vector_type", "dense"}};
const std::string kStatus = "/api/get_upload_data_status";

fake::Reply status(const std::string& state, json more = json::object()) {
    more["success"] = true;
    more["status"] = state;
    return {200, more.dump()};
}
fake::Reply finished(const std::string& message = "Done") {
    return status("finished", {{"error_message", message}});
}

template <typename F>
std::string library_error(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

class UploadTracking : public UploadTest {
protected:
    void SetUp() override {
        UploadTest::SetUp();
        one = files.write("one.csv", "h\n1,2\n");
        // Three shards of one line each at SHARD_SIZE 6.
        three = files.write("three.csv", "h\n1,2\n3,4\n5,6\n");
    }
    std::vector<std::string> polled_jobs() const {
        std::vector<std::string> out;
        for (const auto& r : service->requests(kStatus)) out.push_back(json::parse(r.body).at("job_id"));
        return out;
    }
    std::string checksum(size_t i) const { return shard_bodies().at(i).at("checksum"); }

    Scratch files;
    std::string one, three;
};

const std::string kLimitLine =
    "\033[31m[Tarvo] Request limit reached, please try again later. If you are inserting multiple "
    "vectors, please use INSERT_VECTOR_BATCH.\033[0m\n";

}  // namespace

TEST_F(UploadTracking, OneShardFinishedAtTheFirstPoll) {
    Outcome o = upload(one, kCsv);
    EXPECT_TRUE(o.result);
    const std::string cs = checksum(0);
    EXPECT_EQ(cs, fake::sha256_hex(shard_bodies()[0]["file_data"].get<std::string>()));
    EXPECT_EQ(o.err, info("Uploading with file_path: " + one + "...") +
                         info("Uploading ...'" + one + "' to dataset 'd'") +
                         info("file data field checksum: " + cs) + info("Uploading... [1]"));
    EXPECT_EQ(o.out, "Server returns matching checksum: " + cs + "\n" +
                         green("Subjob [1] Finished. Returned with message: Done") +
                         green("Uploaded [1] data shards") + green("Successfully uploaded file to dataset"));
    EXPECT_EQ(sleeps, (std::vector<milliseconds>{milliseconds(400), milliseconds(400)}));
    // The status request: job_id first, then the key.
    ASSERT_EQ(service->requests(kStatus).size(), 1u);
    EXPECT_EQ(service->requests(kStatus)[0].body, "{\"job_id\":\"shard-1\",\"user_api_key\":\"test-key\"}");
    expect_no_problems();
}

TEST_F(UploadTracking, PendingThenFinishedGoesThroughTheWaitLoop) {
    service->push(kStatus, status("pending"));
    service->push(kStatus, status("in_progress"));
    service->push(kStatus, status("pending"));
    service->push(kStatus, finished("all good"));
    Outcome o = upload(one, kCsv);
    EXPECT_TRUE(o.result);
    const std::string cs = checksum(0);
    EXPECT_EQ(o.err, info("Uploading with file_path: " + one + "...") +
                         info("Uploading ...'" + one + "' to dataset 'd'") +
                         info("file data field checksum: " + cs) + info("Uploading... [1]") +
                         info("Subjob [0] is pending") + info("Subjob [0] is in progress") +
                         info("Subjob [0] is pending"));
    EXPECT_EQ(o.out, "Server returns matching checksum: " + cs + "\n" + green("Uploaded [0] data shards") +
                         green("Uploaded [0/1]") + green("Uploaded [0/1]") +
                         green("Subjob [1] Finished. Returned with message: all good") +
                         green("Uploaded [1/1]") + green("Successfully uploaded file to dataset"));
    const milliseconds p(400), s(1000);
    EXPECT_EQ(sleeps, (std::vector<milliseconds>{p, p, s, s, p, s}));
    EXPECT_EQ(polls(), 4u);
}

TEST_F(UploadTracking, PassesAndWaitCyclesWalkFromTheFirstUnfinishedShard) {
    SHARD_SIZE = 6;  // four shards: three lines, then the header alone
    for (auto r : {status("pending"),                       // shard 1 sent: polls 1
                   finished("one"), status("in_progress"),  // shard 2 sent: polls 1, 2
                   status("pending"),                       // shard 3 sent: polls 2
                   status("pending"),                       // shard 4 sent: polls 2
                   status("pending"),                       // wait cycle 1: polls 2
                   finished("two"), finished("three")})     // wait cycle 2: polls 2, 3, 4
        service->push(kStatus, r);
    Outcome o = upload(three, kCsv);
    EXPECT_TRUE(o.result);
    EXPECT_EQ(shard_data(), (std::vector<std::string>{"h\n1,2\n", "h\n3,4\n", "h\n5,6\n", "h\n"}));
    EXPECT_EQ(polled_jobs(), (std::vector<std::string>{"shard-1", "shard-1", "shard-2", "shard-2", "shard-2",
                                                       "shard-2", "shard-2", "shard-3", "shard-4"}));
    std::string progress;
    for (const auto& line : split_lines(o.out))
        if (line.find("Uploaded [") != std::string::npos || line.find("Finished") != std::string::npos)
            progress += line + "\n";
    EXPECT_EQ(progress, green("Uploaded [0] data shards") +
                            green("Subjob [1] Finished. Returned with message: one") +
                            green("Uploaded [1] data shards") + green("Uploaded [1] data shards") +
                            green("Uploaded [1] data shards") + green("Uploaded [1/4]") +
                            green("Subjob [2] Finished. Returned with message: two") +
                            green("Subjob [3] Finished. Returned with message: three") +
                            green("Subjob [4] Finished. Returned with message: Done") + green("Uploaded [4/4]"));
    EXPECT_NE(o.err.find(info("Subjob [1] is in progress")), std::string::npos);
    const milliseconds p(400), s(1000);
    EXPECT_EQ(sleeps, (std::vector<milliseconds>{p, p, p, p, p, p, p, p, p, s, p, p, p, s}));
}

TEST_F(UploadTracking, TwoShardsFirstFinishedSecondPendingInTheWaitLoop) {
    SHARD_SIZE = 6;
    const std::string two = files.write("two.csv", "h\n1,2\n");  // the line, then the header alone
    for (auto r : {finished("a"), status("pending"), status("pending"), finished("b")})
        service->push(kStatus, r);
    Outcome o = upload(two, kCsv);
    EXPECT_TRUE(o.result);
    EXPECT_EQ(polled_jobs(), (std::vector<std::string>{"shard-1", "shard-2", "shard-2", "shard-2"}));
    const std::string tail = green("Uploaded [1] data shards") + green("Uploaded [1/2]") +
                             green("Subjob [2] Finished. Returned with message: b") + green("Uploaded [2/2]") +
                             green("Successfully uploaded file to dataset");
    ASSERT_GE(o.out.size(), tail.size());
    EXPECT_EQ(o.out.substr(o.out.size() - tail.size()), tail);
    const milliseconds p(400), s(1000);
    EXPECT_EQ(sleeps, (std::vector<milliseconds>{p, p, p, p, s, p, s}));
}

TEST_F(UploadTracking, FailuresDuringAPollPassStopTheUpload) {
    const std::string parse_error = library_error([] { json::parse("not json").dump(); });
    const std::string status_type = library_error([] { (void)json(5).get<std::string>(); });
    const std::string no_message = library_error([] { (void)json::object().at("error_message"); });
    struct Case {
        const char* name;
        fake::Reply reply;
        std::string lines;  // after the pass's other lines
    };
    const std::string stop = red("Error in upload: Server failed to upload");
    const std::vector<Case> cases = {
        {"failed with a reason", status("failed", {{"error", "disk full"}}),
         red("Server failed to upload: disk full") + stop},
        {"failed without a reason", status("failed"), red("Server failed to upload") + stop},
        {"status other than 200", {503, "busy"}, red("Server error: returned status 503 due to busy") + stop},
        {"answer without success", {200, "{\"status\":\"finished\"}"}, red("Server returned invalid response") + stop},
        {"answer not an object", {200, "[1]"}, red("Server returned invalid response") + stop},
        {"unknown status", status("paused"), red("Server returned unknown status") + stop},
        {"answer not JSON", {200, "not json"}, red("Error in upload: " + parse_error)},
        {"status not a string", {200, "{\"success\":true,\"status\":5}"}, red("Error in upload: " + status_type)},
        {"finished without error_message", status("finished"), red("Error in upload: " + no_message)},
    };
    SHARD_SIZE = 6;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->clear_log();
        sleeps.clear();
        service->push(kStatus, c.reply);
        Outcome o = upload(three, kCsv);
        EXPECT_FALSE(o.result);
        const std::string head = "Server returns matching checksum: " + checksum(0) + "\n";
        EXPECT_EQ(o.out, head + c.lines);
        EXPECT_EQ(shards().size(), 1u);  // nothing more is sent
        EXPECT_EQ(polls(), 1u);
        // The 400 ms pause after the poll comes before its result is acted on.
        const bool thrown_by_json = c.lines.find("json.exception") != std::string::npos;
        EXPECT_EQ(sleeps.size(), thrown_by_json ? 1u : 2u);
    }
}

TEST_F(UploadTracking, FailuresDuringTheWaitLoopPrintOnlyThePollLine) {
    struct Case {
        const char* name;
        fake::Reply reply;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"failed", status("failed", {{"error", "bad vectors"}}), red("Server failed to upload: bad vectors")},
        {"failed without error", status("failed"), red("Server failed to upload")},
        {"status 500", {500, "oops"}, red("Server error: returned status 500 due to oops")},
        {"unknown status", status("queued"), red("Server returned unknown status")},
        {"invalid", {200, "{\"success\":true}"}, red("Server returned invalid response")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->clear_log();
        service->push(kStatus, status("pending"));
        service->push(kStatus, status("pending"));
        service->push(kStatus, c.reply);
        Outcome o = upload(one, kCsv);
        EXPECT_FALSE(o.result);
        const std::string tail = green("Uploaded [0] data shards") + green("Uploaded [0/1]") + c.line;
        ASSERT_GE(o.out.size(), tail.size());
        EXPECT_EQ(o.out.substr(o.out.size() - tail.size()), tail);
        EXPECT_EQ(polls(), 3u);
    }
}

TEST_F(UploadTracking, SuccessFalseWithFinishedCountsAsFinished) {
    service->push(kStatus, {200, "{\"error_message\":\"ok\",\"status\":\"finished\",\"success\":false}"});
    Outcome o = upload(one, kCsv);
    EXPECT_TRUE(o.result);
    EXPECT_NE(o.out.find(green("Subjob [1] Finished. Returned with message: ok")), std::string::npos);
}

TEST_F(UploadTracking, RefusedOrUnusableUploadAnswers) {
    const std::string not_json = library_error([] { json::parse("<html>").dump(); });
    const std::string no_job = library_error([] { (void)json({{"checksum_server", "x"}}).at("job_id"); });
    const std::string no_checksum = library_error([] { (void)json({{"job_id", "j"}}).at("checksum_server"); });
    const std::string job_number = library_error([] { (void)json(7).get<std::string>(); });
    struct Case {
        const char* name;
        fake::Reply reply;
        std::string out;
        bool accepted;  // the "Uploading... [1]" line and the pause came
    };
    const std::vector<Case> cases = {
        {"status 500", {500, "server down"},
         red("Upload failed! Status: 500\nResponse: server down") + red("Error in upload: Server failed to upload"),
         false},
        {"status 413 with an empty text", {413, ""},
         red("Upload failed! Status: 413\nResponse: ") + red("Error in upload: Server failed to upload"), false},
        {"answer not JSON", {200, "<html>"}, red("Error in upload: " + not_json), true},
        {"answer without job_id", {200, "{\"checksum_server\":\"x\"}"},
         "Server returns matching checksum: x\n" + red("Error in upload: " + no_job), true},
        {"answer without checksum_server", {200, "{\"job_id\":\"j\"}"}, red("Error in upload: " + no_checksum), true},
        {"job_id not a string", {200, "{\"checksum_server\":\"x\",\"job_id\":7}"},
         "Server returns matching checksum: x\n" + red("Error in upload: " + job_number), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->clear_log();
        sleeps.clear();
        service->push("/api/upload", c.reply);
        Outcome o = upload(one, kCsv);
        EXPECT_FALSE(o.result);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err.find("Uploading... [1]") != std::string::npos, c.accepted);
        EXPECT_EQ(sleeps.size(), c.accepted ? 1u : 0u);
        EXPECT_EQ(polls(), 0u);
        EXPECT_EQ(shards().size(), 1u);
    }
}

TEST_F(UploadTracking, TheServiceChecksumIsPrintedNotCompared) {
    service->push("/api/upload", {200, "{\"checksum_server\":\"something else\",\"job_id\":\"J7\"}"});
    Outcome o = upload(one, kCsv);
    EXPECT_TRUE(o.result);
    const std::string line = "Server returns matching checksum: something else\n";
    EXPECT_EQ(o.out.substr(0, line.size()), line);
    EXPECT_EQ(polled_jobs(), (std::vector<std::string>{"J7"}));
}

TEST_F(UploadTracking, UnreachableServiceIsStatusZero) {
    server_base_url = "http://127.0.0.1:1/api";
    Outcome o = upload(one, kCsv);
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.out, red("Upload failed! Status: 0\nResponse: ") + red("Error in upload: Server failed to upload"));
}

TEST_F(UploadTracking, RateLimiterRefusesAShardBeforeItIsAnnounced) {
    for (int i = 0; i < 10; ++i) ASSERT_FALSE(rest_client::rate_limit());
    Outcome o = upload(one, kCsv);
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.out, kLimitLine + red("Error in upload: Too many operations in a short time period!"));
    EXPECT_EQ(o.err, info("Uploading with file_path: " + one + "..."));
    EXPECT_TRUE(service->requests().empty());
}

TEST_F(UploadTracking, RateLimiterRefusingALaterShardStopsTheRest) {
    SHARD_SIZE = 6;
    for (int i = 0; i < 9; ++i) ASSERT_FALSE(rest_client::rate_limit());
    Outcome o = upload(three, kCsv);
    EXPECT_FALSE(o.result);
    EXPECT_EQ(shards().size(), 1u);
    const std::string tail = green("Uploaded [1] data shards") + kLimitLine +
                             red("Error in upload: Too many operations in a short time period!");
    ASSERT_GE(o.out.size(), tail.size());
    EXPECT_EQ(o.out.substr(o.out.size() - tail.size()), tail);
}

TEST_F(UploadTracking, SameBytesGiveTheSameFileDataAndChecksum) {
    upload(one, kCsv);
    upload(files.write("copy.csv", "h\n1,2\n"), kCsv);
    std::vector<json> bodies = shard_bodies();
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0]["file_data"], bodies[1]["file_data"]);
    EXPECT_EQ(bodies[0]["checksum"], bodies[1]["checksum"]);
    EXPECT_EQ(bodies[0]["checksum"], rest_client::calculate_sha256(bodies[0]["file_data"]));
    expect_no_problems();
}

TEST_F(UploadTracking, NoShardMeansNoRequestAndSuccess) {
    const std::string empty = files.write("empty.svm", "");
    Outcome o = upload(empty, {{"file_format", "libsvm"}, {"collection_name", "d"}});
    EXPECT_TRUE(o.result);
    EXPECT_EQ(o.out, green("Successfully uploaded file to dataset"));
    EXPECT_EQ(o.err, info("Uploading with file_path: " + empty + "..."));
    EXPECT_TRUE(service->requests().empty());
    EXPECT_TRUE(sleeps.empty());
}

TEST_F(UploadTracking, ProjectNameThatIsNotUtf8FailsAfterTheGateAndSendsNothing) {
    const std::string error = library_error([] { (void)json("bad \xff").dump(-1, ' ', false, json::error_handler_t::strict); });
    Outcome o = upload(one, kCsv, "bad \xff");
    EXPECT_FALSE(o.result);
    EXPECT_EQ(o.out, red("Error in upload: " + error));
    EXPECT_TRUE(service->requests().empty());
    EXPECT_EQ(rest_client::record.timestamps.size(), 1u);  // the gate counted it
}
