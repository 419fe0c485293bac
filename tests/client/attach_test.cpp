// Attaching an index: the dataset lookup, the attach request and the status
// poll against the fake service. Poll sleeps are recorded, never taken.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <thread>

#include "client/rate_limiter.h"
#include "support/client_fixture.h"

using namespace rest_client;
using namespace test_support;
using fake::Reply;
using std::chrono::milliseconds;

namespace {

const std::string kLookupPath = "/api/fetch_datasets";
const std::string kAttachPath = "/api/attach_index";
const std::string kStatusPath = "/api/get_attach_index_status";
const std::string kLimitLine =
    "\033[31m[Tarvo] Request limit reached, please try again later. If you are inserting "
    "multiple vectors, please use INSERT_VECTOR_BATCH.\033[0m\n";
const std::string kAccepted = info("Attaching index 'i1' to dataset 'd1'");
const std::string kAttached = green("Successfully attached index");

std::string announce(const std::string& distance) {
    return info("Attaching index with collection_name, index_name, and dist_type: d1 i1 " +
                distance + "...");
}

std::string attach_body(const std::string& distance, bool large) {
    return R"j({"collection_name":"d1","dist_type":")j" + distance +
           R"j(","index_name":"i1","large_index":)j" + (large ? "true" : "false") +
           R"j(,"project_name":"p1","user_api_key":"test-key"})j";
}

std::string wait_line(int ms) { return "wait_time " + std::to_string(ms) + "\n"; }

std::string count_line(const std::string& n) {
    return " Number of vectors to be indexed: " + n + "\n";
}

// A lookup answer with one dataset of the given shape named d1, behind another.
std::string lookup_with(const std::string& shape) {
    return R"j({"datasets":[{"dimension":"(77777777, 4)","name":"other","size":1},)j"
           R"j({"dimension":")j" +
           shape + R"j(","name":"d1","size":1}]})j";
}

// The library's message for an answer that does not begin like JSON.
std::string not_json(char first) {
    return std::string(
               "[json.exception.parse_error.101] parse error at line 1, column 1: syntax "
               "error while parsing value - invalid literal; last read: '") +
           first + "'";
}

class AttachTest : public ClientTest {
   protected:
    bool attach(Output& o, const std::string& word = "cosine", bool large = false) {
        record.timestamps.clear();
        bool result = false;
        o = capture([&] { result = handle_attach_index("p1", "d1", "i1", word, large); });
        return result;
    }
    void next_case() {
        service->clear_log();
        sleeps.clear();
    }
};

TEST_F(AttachTest, FullRunSendsThreeRequests) {
    Output o;
    EXPECT_TRUE(attach(o, "cosine"));
    EXPECT_EQ(o.err, announce("Cosine") + kAccepted);
    EXPECT_EQ(o.out, wait_line(3000) + kAttached);
    std::vector<std::string> paths;
    for (const auto& r : service->requests()) paths.push_back(r.path);
    EXPECT_EQ(paths, (std::vector<std::string>{kLookupPath, kAttachPath, kStatusPath}));
    EXPECT_EQ(bodies("/fetch_datasets"),
              std::vector<std::string>{R"j({"project_name":"p1","user_api_key":"test-key"})j"});
    EXPECT_EQ(bodies("/attach_index"), std::vector<std::string>{attach_body("Cosine", false)});
    EXPECT_EQ(bodies("/get_attach_index_status"),
              std::vector<std::string>{R"j({"job_id":"attach-1","user_api_key":"test-key"})j"});
    EXPECT_TRUE(sleeps.empty());
    // The status poll does not pass the limiter; the lookup and the attach do.
    EXPECT_EQ(record.timestamps.size(), 2u);
    expect_no_problems();
}

TEST_F(AttachTest, DistanceWords) {
    const std::pair<const char*, const char*> words[] = {{"InnerProduct", "Inner Product"},
                                                         {"innerProduct", "Inner Product"},
                                                         {"Cosine", "Cosine"},
                                                         {"cosine", "Cosine"},
                                                         {"L2", "L2"},
                                                         {"l2", "L2"},
                                                         {"Hamming", "Hamming"},
                                                         {"hamming", "Hamming"},
                                                         {"COSINE", "COSINE"},
                                                         {"Euclid", "Euclid"},
                                                         {"inner product", "inner product"},
                                                         {"", ""}};
    for (bool large : {false, true})
        for (const auto& [word, sent] : words) {
            SCOPED_TRACE(word);
            next_case();
            Output o;
            EXPECT_TRUE(attach(o, word, large));
            EXPECT_EQ(o.err, announce(sent) + kAccepted);
            EXPECT_EQ(bodies("/attach_index"), std::vector<std::string>{attach_body(sent, large)});
        }
    expect_no_problems();
}

TEST_F(AttachTest, IntervalFromVectorCount) {
    const std::pair<const char*, int> bounds[] = {
        {"0", 3000},        {"300000", 3000},    {"300001", 15000},   {"1000000", 15000},
        {"1000001", 30000}, {"10000000", 30000}, {"10000001", 60000}, {"2147483647", 60000}};
    for (const auto& [vectors, interval] : bounds) {
        SCOPED_TRACE(vectors);
        next_case();
        service->push(kLookupPath, Reply{200, lookup_with(std::string("(") + vectors + ", 64)")});
        service->push(kStatusPath, Reply{200, R"j({"status":"pending","success":true})j"});
        Output o;
        EXPECT_TRUE(attach(o));
        EXPECT_EQ(o.out, count_line(vectors) + wait_line(interval) + green("Request in queue") +
                             kAttached);
        EXPECT_EQ(sleeps, std::vector<milliseconds>{milliseconds(interval)});
    }
    expect_no_problems();
}

// Whatever goes wrong in the lookup, the attach is still sent.
TEST_F(AttachTest, LookupNeverStopsTheAttach) {
    const std::string error = "Error in handle_fetch_datasets: ";
    const std::string bad_format = red("Server returned incorrect response format");
    struct Case {
        const char* name;
        Reply lookup;
        std::string lines;  // standard output before the wait_time line
        int interval;
    };
    const Case cases[] = {
        {"no dataset of that name",
         Reply{200, R"j({"datasets":[{"dimension":"(5000000, 2)","name":"d10"}]})j"}, "", 3000},
        {"empty list", Reply{200, R"j({"datasets":[]})j"}, "", 3000},
        {"status 500", Reply{500, "down"},
         red("Datasets fetch failed! Status: 500\nResponse: down"), 3000},
        {"list is an object", Reply{200, R"j({"datasets":{}})j"}, bad_format, 3000},
        {"list key missing", Reply{200, R"j({"projects":[]})j"}, bad_format, 3000},
        {"answer is an array", Reply{200, "[]"}, bad_format, 3000},
        {"answer not JSON", Reply{200, "busy"}, red(error + not_json('b')), 3000},
        {"shape text with an x", Reply{200, lookup_with("1000x128")},
         red(error + "Invalid dimension format: 1000x128"), 3000},
        {"count beyond 32 bits", Reply{200, lookup_with("(99999999999, 3)")}, red(error + "stoi"),
         3000},
        {"a megabyte of shape text", Reply{200, lookup_with("(" + std::string(1000000, '0') + "300001, 64)")},
         count_line("300001"), 15000},
        {"dimension is a number",
         Reply{200, R"j({"datasets":[{"dimension":500000,"name":"d1"}]})j"},
         red(error + "[json.exception.type_error.302] type must be string, but is number"), 3000},
        {"element not an object", Reply{200, R"j({"datasets":["d1"]})j"},
         red(error + "dataset entry must be an object, but is string"), 3000},
        // An entry without a name or a shape, or a name that is not the same string, is not the
        // dataset.
        {"entries that cannot match",
         Reply{200, R"j({"datasets":[{"dimension":"(5000000, 2)"},{"name":"d1"},)j"
                    R"j({"dimension":"(5000000, 2)","name":["d1"]}]})j"},
         "", 3000},
        {"a later entry of the same name replaces the count",
         Reply{200, R"j({"datasets":[{"dimension":"(10, 4)","name":"d1"},)j"
                    R"j({"dimension":"(2000000, 4)","name":"d1"}]})j"},
         count_line("10") + count_line("2000000"), 30000},
        {"a failure after a match keeps the count",
         Reply{200, R"j({"datasets":[{"dimension":"(500000, 2)","name":"d1"},)j"
                    R"j({"dimension":"bad","name":"d1"}]})j"},
         count_line("500000") + red(error + "Invalid dimension format: bad"), 15000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        next_case();
        service->push(kLookupPath, c.lookup);
        Output o;
        EXPECT_TRUE(attach(o, "l2"));
        EXPECT_EQ(o.err, announce("L2") + kAccepted);
        EXPECT_EQ(o.out, c.lines + wait_line(c.interval) + kAttached);
        EXPECT_EQ(bodies("/attach_index"), std::vector<std::string>{attach_body("L2", false)});
    }
    expect_no_problems();
}

TEST_F(AttachTest, AttachAnswersThatStartNoPoll) {
    const std::string error = "Error in handle_attach_index: ";
    struct Case {
        const char* name;
        Reply reply;
        std::string err;  // after the announcement
        std::string out;
    };
    const Case cases[] = {
        {"status 409", Reply{409, "conflict"}, "",
         red("Attach Index failed! Status: 409\nResponse:conflict")},
        {"no job id", Reply{200, R"j({"success":true})j"}, "",
         red("Attach Index failed!\n{\"success\":true}")},
        {"success as a string", Reply{200, R"j({"job_id":"j","success":"true"})j"}, "",
         red("Attach Index failed!\n{\"job_id\":\"j\",\"success\":\"true\"}")},
        {"success false", Reply{200, R"j({"job_id":"j","success":false})j"}, "",
         red("Attach Index failed!\n{\"job_id\":\"j\",\"success\":false}")},
        {"success missing", Reply{200, R"j({"job_id":"j"})j"}, "",
         red("Attach Index failed!\n{\"job_id\":\"j\"}")},
        {"answer is an array", Reply{200, "[true]"}, "", red("Attach Index failed!\n[true]")},
        {"answer not JSON", Reply{200, "queued"}, "", red(error + not_json('q'))},
        {"job id is a number", Reply{200, R"j({"job_id":5,"success":true})j"}, kAccepted,
         red(error + "[json.exception.type_error.302] type must be string, but is number")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        next_case();
        service->push(kAttachPath, c.reply);
        Output o;
        EXPECT_FALSE(attach(o));
        EXPECT_EQ(o.err, announce("Cosine") + c.err);
        EXPECT_EQ(o.out, c.out);
        EXPECT_TRUE(service->requests(kStatusPath).empty());
    }
    expect_no_problems();
}

TEST_F(AttachTest, PollAnswers) {
    const std::string error = "Error in handle_attach_index: ";
    struct Case {
        const char* name;
        std::vector<Reply> replies;  // answers to the status requests, in turn
        std::string err;             // after the accepted line
        std::string out;             // after the wait_time line
        size_t sleeps;
        bool result;
    };
    const Reply pending{200, R"j({"status":"pending","success":true})j"};
    const Reply running{200, R"j({"status":"in_progress","success":true})j"};
    const Reply finished{200, R"j({"status":"finished","success":true})j"};
    const Case cases[] = {
        {"pending, in progress, finished",
         {pending, running, finished},
         info("Attaching index..."),
         green("Request in queue") + kAttached,
         2,
         true},
        {"long wait",
         {running, running, pending, running, finished},
         info("Attaching index...") + info("Attaching index...") + info("Attaching index..."),
         green("Request in queue") + kAttached,
         4,
         true},
        {"success false still finished",
         {Reply{200, R"j({"status":"finished","success":false})j"}},
         "",
         kAttached,
         0,
         true},
        {"failed with a reason",
         {pending, Reply{200, R"j({"error":"disk full","status":"failed","success":false})j"}},
         "",
         green("Request in queue") + red("Server failed to attach index: disk full"),
         1,
         false},
        {"failed without a reason",
         {Reply{200, R"j({"status":"failed","success":false})j"}},
         "",
         red("Server failed to attach index"),
         0,
         false},
        {"unknown status",
         {Reply{200, R"j({"status":"cancelled","success":true})j"}},
         "",
         red("Server returned unknown status"),
         0,
         false},
        {"status 502",
         {running, Reply{502, "bad gateway"}},
         info("Attaching index..."),
         red("Server error: returned status 502 due to bad gateway"),
         1,
         false},
        {"success missing",
         {Reply{200, R"j({"status":"finished"})j"}},
         "",
         red("Server returned invalid response"),
         0,
         false},
        {"answer is an array",
         {Reply{200, R"j(["finished"])j"}},
         "",
         red("Server returned invalid response"),
         0,
         false},
        {"status not a string",
         {Reply{200, R"j({"status":1,"success":true})j"}},
         "",
         red(error + "[json.exception.type_error.302] type must be string, but is number"),
         0,
         false},
        {"reason not a string",
         {Reply{200, R"j({"error":7,"status":"failed","success":true})j"}},
         "",
         red(error + "[json.exception.type_error.302] type must be string, but is number"),
         0,
         false},
        {"answer not JSON", {Reply{200, "done"}}, "", red(error + not_json('d')), 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        next_case();
        for (const Reply& r : c.replies) service->push(kStatusPath, r);
        Output o;
        EXPECT_EQ(attach(o), c.result);
        EXPECT_EQ(o.err, announce("Cosine") + kAccepted + c.err);
        EXPECT_EQ(o.out, wait_line(3000) + c.out);
        EXPECT_EQ(sleeps, std::vector<milliseconds>(c.sleeps, milliseconds(3000)));
        // One status request per answer, every one the same.
        const auto sent = bodies("/get_attach_index_status");
        EXPECT_EQ(sent.size(), c.replies.size());
        for (const auto& body : sent) EXPECT_EQ(body, sent.front());
    }
    expect_no_problems();
}

TEST_F(AttachTest, WindowFullForLookupAndAttach) {
    record.timestamps.assign(10, std::chrono::steady_clock::now());
    bool result = true;
    Output o = capture([&] { result = handle_attach_index("p1", "d1", "i1", "L2", false); });
    EXPECT_FALSE(result);
    EXPECT_EQ(o.err, announce("L2"));
    EXPECT_EQ(o.out, kLimitLine +
                         red("Error in handle_fetch_datasets: Too many operations in a short time "
                             "period!") +
                         kLimitLine +
                         red("Error in handle_attach_index: Too many operations in a short time "
                             "period!"));
    EXPECT_TRUE(service->requests().empty());
}

TEST_F(AttachTest, WindowFullForLookupOnly) {
    // Ten operations at t0; the lookup comes at t0 + 100 ms and is refused (and
    // recorded); by the attach, at t0 + 3101 ms, all eleven have aged out.
    const auto t0 = std::chrono::steady_clock::now();
    record.timestamps.assign(10, t0);
    std::vector<milliseconds> ticks{milliseconds(100), milliseconds(3101)};
    size_t calls = 0;
    seams().clock = ([&] { return t0 + ticks.at(std::min(calls++, ticks.size() - 1)); });
    bool result = false;
    Output o = capture([&] { result = handle_attach_index("p1", "d1", "i1", "L2", false); });
    EXPECT_TRUE(result);
    EXPECT_EQ(o.err, announce("L2") + kAccepted);
    EXPECT_EQ(o.out, kLimitLine +
                         red("Error in handle_fetch_datasets: Too many operations in a short time "
                             "period!") +
                         wait_line(3000) + kAttached);
    EXPECT_TRUE(service->requests(kLookupPath).empty());
    EXPECT_EQ(bodies("/attach_index"), std::vector<std::string>{attach_body("L2", false)});
}

// ---- a service that closes the connection without answering ----------------------------

// Accepts connections on 127.0.0.1 and closes each at once.
class ClosingListener {
   public:
    ClosingListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            for (;;) {
                const int connection = ::accept(fd_, nullptr, nullptr);
                if (connection < 0) {
                    if (errno == EINTR) continue;
                    return;  // shut down
                }
                ++accepted_;
                ::close(connection);
            }
        });
    }
    ~ClosingListener() {
        ::shutdown(fd_, SHUT_RDWR);  // wakes the accept
        thread_.join();
        ::close(fd_);
    }
    ClosingListener(const ClosingListener&) = delete;
    ClosingListener& operator=(const ClosingListener&) = delete;

    std::string api_url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/api"; }
    int accepted() const { return accepted_; }

   private:
    int fd_ = -1;
    int port_ = 0;
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

TEST_F(AttachTest, ConnectionClosedDuringListing) {
    ClosingListener closing;
    server_base_url = closing.api_url();
    bool result = true;
    Output o = capture([&] { result = handle_fetch_datasets("p1"); });
    EXPECT_FALSE(result);
    EXPECT_EQ(o.err, info("Fetching dataset info of project p1..."));
    EXPECT_EQ(o.out, red("Datasets fetch failed! Status: 0\nResponse: "));
    EXPECT_EQ(closing.accepted(), 1);
}

TEST_F(AttachTest, ConnectionClosedDuringPoll) {
    ClosingListener closing;
    // The first status answer says pending; during the wait the service goes away.
    service->push(kStatusPath, Reply{200, R"j({"status":"pending","success":true})j"});
    seams().sleep = ([&](milliseconds d) {
        sleeps.push_back(d);
        server_base_url = closing.api_url();
    });
    Output o;
    EXPECT_FALSE(attach(o));
    EXPECT_EQ(o.err, announce("Cosine") + kAccepted);
    EXPECT_EQ(o.out, wait_line(3000) + green("Request in queue") +
                         red("Server error: returned status 0 due to "));
    EXPECT_EQ(sleeps, std::vector<milliseconds>{milliseconds(3000)});
    EXPECT_EQ(service->requests(kStatusPath).size(), 1u);
    EXPECT_EQ(closing.accepted(), 1);
}

}  // namespace
