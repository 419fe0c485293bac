// Commands of the service client against a service that misbehaves: it hangs
// up, answers with server errors, late, huge or compressed, redirects without
// end, or shows a certificate nobody signed. Each command must print the line
// for that outcome and return, and the next command must work as usual.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/handlers.h"
#include "client/helpers.h"
#include "client/rate_limiter.h"
#include "client/seams.h"
#include "client/state.h"
#include "fake/fake_service.h"
#include "support/client_fixture.h"
#include "support/misbehaving_server.h"

using namespace rest_client;
using test_support::Behaviour;
using test_support::capture;
using test_support::green;
using test_support::info;
using test_support::MisbehavingServer;
using test_support::Output;
using test_support::red;

namespace {

const std::string kBorder = "================================\n";

std::string red_err(const std::string& m) { return "\033[31m[ERROR] " + m + "\033[0m\n"; }

// A command, the request of it that meets the fault, and what it prints.
struct Command {
    const char* name;
    std::string path;    // the request that meets the fault
    std::string answer;  // a sound 200 answer to it
    // Sound answers to the requests the command makes before that one.
    std::function<void(MisbehavingServer&)> before;
    std::function<bool()> run;
    // What it prints when that request gets `status` and `text` back.
    std::function<Output(const std::string& status, const std::string& text)> failed;
    Output succeeded;
};

const std::string kAttachAnnounce =
    info("Attaching index with collection_name, index_name, and dist_type: d1 i1 Cosine...") +
    info("Attaching index 'i1' to dataset 'd1'");
const std::string kAttachProgress = " Number of vectors to be indexed: 10\nwait_time 3000\n";
const std::string kBatchAnnounce =
    info("Batch insertion with project_name and collection_name: p1 d1...") +
    info("data field checksum: " + fake::sha256_hex("[[1.0,2.5]]"));
const std::string kBatchProgress = "Server returns matching checksum: c1\n";

bool insert_dense_batch() {
    return handle_insert_vector_batch("p1", "d1", {"a"},
                                      std::vector<std::vector<std::string>>{{"1", "2.5"}}, {});
}

const std::vector<Command>& commands() {
    static const std::vector<Command> list = {
        {"fetch projects",
         "/api/fetch_projects",
         R"({"projects":[{"application":"search","project_id":7,"project_name":"p1"}]})",
         nullptr,
         [] { return handle_fetch_projects(); },
         [](const std::string& s, const std::string& t) {
             return Output{red("Projects fetch failed! Status: " + s + "\nResponse: " + t),
                           info("Fetching projects...")};
         },
         {green("Projects fetch succeeded") + green("Sucessfully fetched 1 projects") + kBorder +
              "Project Name: \"p1\"\nProject ID: 7\nApplication: \"search\"\n" + kBorder,
          info("Fetching projects...")}},

        {"create project",
         "/api/create_project",
         R"({"success":true})",
         nullptr,
         [] { return handle_create_project("p1", "search"); },
         [](const std::string& s, const std::string& t) {
             return Output{red("Create project failed! Status: " + s + "\nResponse: " + t),
                           info("Creating project with project_name, application: p1 search...")};
         },
         {green("Create project 'p1' succeeded"),
          info("Creating project with project_name, application: p1 search...")}},

        {"delete vector",
         "/api/remove_data",
         R"({"error_code":"Success"})",
         nullptr,
         [] {
             return handle_delete_vector("p1", "d1", {"a", "b"});
         },
         [](const std::string& s, const std::string& t) {
             return Output{red("Delete vector failed! Status: " + s + "\nResponse: " + t),
                           info("Deleting 2 vectors from dataset d1...")};
         },
         {green("Successfully deleted 2 vectors from dataset d1"),
          info("Deleting 2 vectors from dataset d1...")}},

        {"attach index, status poll",
         "/api/get_attach_index_status",
         R"({"status":"finished","success":true})",
         [](MisbehavingServer& s) {
             s.set("/api/fetch_datasets",
                   Behaviour::reply(
                       200, R"j({"datasets":[{"dimension":"(10, 4)","name":"d1","size":1}]})j"));
             s.set("/api/attach_index", Behaviour::reply(200, R"({"job_id":"j1","success":true})"));
         },
         [] { return handle_attach_index("p1", "d1", "i1", "cosine", false); },
         [](const std::string& s, const std::string& t) {
             return Output{
                 kAttachProgress + red("Server error: returned status " + s + " due to " + t),
                 kAttachAnnounce};
         },
         {kAttachProgress + green("Successfully attached index"), kAttachAnnounce}},

        {"dense batch insert, status poll",
         "/api/get_upload_data_status",
         R"({"error_message":"1 vector stored","status":"finished","success":true})",
         [](MisbehavingServer& s) {
             s.set("/api/add_data_batch",
                   Behaviour::reply(200, R"({"checksum_server":"c1","job_id":"b1"})"));
         },
         insert_dense_batch,
         [](const std::string& s, const std::string& t) {
             return Output{
                 kBatchProgress + red("Server error: returned status " + s + " due to " + t),
                 kBatchAnnounce};
         },
         {kBatchProgress + green("Upload Finished.") + green("1 vector stored"), kBatchAnnounce}},

        {"version check",
         "/api/check_cli_version",
         R"({"message":"ok","success":true})",
         nullptr,
         [] { return handle_check_cli_version(); },
         [](const std::string& s, const std::string&) {
             // The version check never shows the response text.
             return Output{red("Error checking CLI version with server, status code: " + s), ""};
         },
         {"", ""}},

        {"login",
         "/bk/validate-api-key",
         R"({"user_id":"u1","username":"tester"})",
         nullptr,
         [] { return handle_login_with_api_key("test-key"); },
         [](const std::string& s, const std::string& t) {
             return Output{"", red_err("Login failed! Status code: " + s + "\nResponse: " + t)};
         },
         {green("Login successful!"), ""}},
    };
    return list;
}

class Faults : public test_support::ClientTest {
public:
    // The server that presents a self-signed certificate, made on first use.
    MisbehavingServer& tls_server() {
        if (!tls)
            tls =
                std::make_unique<MisbehavingServer>(MisbehavingServer::Transport::tls_self_signed);
        return *tls;
    }

protected:
    void SetUp() override {
        ClientTest::SetUp();
        restart();
    }
    void TearDown() override {
        server.reset();
        tls.reset();
        ClientTest::TearDown();
    }

    // A new misbehaving service as the client's service and account service;
    // the certificate server, if any, goes.
    void restart() {
        server = std::make_unique<MisbehavingServer>();
        tls.reset();
        server_base_url = server->url("/api");
        account_service_url = server->base_url();
    }

    // Runs a command with the rate limiter emptied, as after a pause.
    std::pair<bool, Output> run(const Command& command) {
        record.timestamps.clear();
        bool result = false;
        Output output = capture([&] { result = command.run(); });
        return {result, output};
    }

    std::unique_ptr<MisbehavingServer> server;
    std::unique_ptr<MisbehavingServer> tls;
};

// The sound answer grown to 50 MiB with blanks between its members.
std::string huge(const std::string& answer) {
    return "{" + std::string(50u << 20, ' ') + answer.substr(1);
}

struct Fault {
    const char* name;
    // How the faulty request is answered, given the sound answer it would get.
    std::function<Behaviour(const std::string& answer, Faults& test)> behaviour;
    bool answered;  // the command gets its sound answer in the end
    int status;     // when not, what it sees: 0 and "" when no answer came
    std::string text;
    size_t requests;  // requests the faulty path receives
    // The commands it is tried on, by name; none named means every one.
    std::vector<std::string> only = {};
};

void PrintTo(const Fault& fault, std::ostream* os) { *os << fault.name; }

class CommandsMeetingAFault : public Faults, public ::testing::WithParamInterface<Fault> {};

}  // namespace

TEST_P(CommandsMeetingAFault, PrintTheLineForTheOutcomeAndGoOn) {
    const Fault& fault = GetParam();
    for (const Command& command : commands()) {
        if (!fault.only.empty() &&
            std::find(fault.only.begin(), fault.only.end(), command.name) == fault.only.end())
            continue;
        SCOPED_TRACE(command.name);
        restart();
        if (command.before) command.before(*server);
        server->set(command.path, fault.behaviour(command.answer, *this));

        auto [result, output] = run(command);
        const Output want = fault.answered
                                ? command.succeeded
                                : command.failed(std::to_string(fault.status), fault.text);
        EXPECT_EQ(output.out, want.out);
        EXPECT_EQ(output.err, want.err);
        EXPECT_EQ(result, fault.answered);
        EXPECT_EQ(server->requests(command.path).size(), fault.requests);
        if (tls) {
            // A redirect to another origin is the answer: that server is never reached.
            EXPECT_EQ(tls->connections(), 0);
            EXPECT_EQ(tls->bytes_received(), 0u);
            EXPECT_TRUE(tls->requests().empty());
        }

        // The next command finds the client as it was.
        server->set(command.path, Behaviour::reply(200, command.answer));
        auto [again, again_output] = run(command);
        EXPECT_TRUE(again);
        EXPECT_EQ(again_output.out, command.succeeded.out);
        EXPECT_EQ(again_output.err, command.succeeded.err);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Service, CommandsMeetingAFault,
    ::testing::Values(
        Fault{"ClosedBeforeAnswering",
              [](const std::string&, Faults&) { return Behaviour::close_before_answer(); }, false,
              0, "", 1},
        Fault{"ClosedMidHeaders",
              [](const std::string&, Faults&) { return Behaviour::close_mid_headers(); }, false, 0,
              "", 1},
        // What does arrive is the whole sound answer, announced as longer.
        Fault{"ClosedMidBody",
              [](const std::string& answer, Faults&) { return Behaviour::close_mid_body(answer); },
              false, 0, "", 1},
        Fault{"Status500",
              [](const std::string&, Faults&) {
                  return Behaviour::reply(500, "Internal Server Error: database down");
              },
              false, 500, "Internal Server Error: database down", 1},
        Fault{"Status502",
              [](const std::string&, Faults&) {
                  return Behaviour::reply(502, "<html><body>502 Bad Gateway</body></html>",
                                          {{"Content-Type", "text/html"}});
              },
              false, 502, "<html><body>502 Bad Gateway</body></html>", 1},
        Fault{"Status503",
              [](const std::string&, Faults&) {
                  return Behaviour::reply(503, R"({"detail":"Service Unavailable"})");
              },
              false, 503, R"({"detail":"Service Unavailable"})", 1},
        Fault{"Redirected51Times",
              [](const std::string& answer, Faults&) {
                  return Behaviour::redirects_then(51, Behaviour::reply(200, answer));
              },
              false, 0, "", 51},
        Fault{"RedirectedToAnotherOrigin",
              [](const std::string&, Faults& test) {
                  return Behaviour::redirect_to(test.tls_server().url("/api/x"));
              },
              false, 307, "", 1},
        Fault{"Redirected50Times",
              [](const std::string& answer, Faults&) {
                  return Behaviour::redirects_then(50, Behaviour::reply(200, answer));
              },
              true, 200, "", 51},
        // Slow to move and parse (seconds in a sanitizer build), so tried on
        // one command of each kind of call only.
        Fault{
            "HugeAnswer",
            [](const std::string& answer, Faults&) { return Behaviour::reply(200, huge(answer)); },
            true,
            200,
            "",
            1,
            {"fetch projects", "attach index, status poll"}},
        Fault{"GzipAnswer",
              [](const std::string& answer, Faults&) {
                  return Behaviour::encoded("gzip", 200, answer);
              },
              true, 200, "", 1}),
    [](const ::testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

// The service itself presents the certificate: the command fails before a
// byte of its request (and so of the API key) leaves the client.
TEST_F(Faults, AServiceWithASelfSignedCertificateGetsNothing) {
    MisbehavingServer& t = tls_server();
    t.set("/api/remove_data", Behaviour::reply(200, R"({"error_code":"Success"})"));
    server_base_url = t.url("/api");
    bool result = true;
    const Output o = capture([&] { result = handle_delete_vector("p1", "d1", {"a"}); });
    EXPECT_FALSE(result);
    EXPECT_EQ(o.out, red("Delete vector failed! Status: 0\nResponse: "));
    EXPECT_EQ(o.err, info("Deleting 1 vectors from dataset d1..."));
    EXPECT_EQ(t.connections(), 1);
    EXPECT_EQ(t.bytes_received(), 0u);
    EXPECT_TRUE(t.requests().empty());
}

// The one real wait of this file: a status answer that takes its time is
// waited for, and the poll goes on to the end.
TEST_F(Faults, ALateStatusAnswerIsWaitedFor) {
    const Command& attach =
        *std::find_if(commands().begin(), commands().end(),
                      [](const Command& c) { return c.path == "/api/get_attach_index_status"; });
    attach.before(*server);
    const auto wait = std::chrono::milliseconds(1500);
    server->push(
        attach.path,
        Behaviour::delayed(wait, Behaviour::reply(200, R"({"status":"pending","success":true})")));
    server->set(attach.path, Behaviour::reply(200, attach.answer));
    const auto start = std::chrono::steady_clock::now();
    auto [result, output] = run(attach);
    EXPECT_GE(std::chrono::steady_clock::now() - start, wait);
    EXPECT_TRUE(result);
    EXPECT_EQ(output.out,
              kAttachProgress + green("Request in queue") + green("Successfully attached index"));
    EXPECT_EQ(output.err, kAttachAnnounce);
    EXPECT_EQ(server->requests(attach.path).size(), 2u);
    EXPECT_EQ(sleeps, std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(3000)});
}

// Against the sound fake service: a job that waits in the queue for 500
// rounds is followed to its end, one recorded sleep per round, with the same
// status request every time.
TEST_F(Faults, AJobPendingForManyRoundsIsFollowedToItsEnd) {
    server_base_url = service->api_url();
    constexpr int kRounds = 500;
    auto repeat = [](const std::string& line) {
        std::string all;
        for (int i = 0; i < kRounds; ++i) all += line;
        return all;
    };
    const std::string checksum = fake::sha256_hex("[[1.0,2.5]]");
    struct Job {
        const char* name;
        std::string path;
        std::function<bool()> run;
        std::string job_id;
        Output printed;
    } jobs[] = {
        {"attach",
         "/api/get_attach_index_status",
         [] { return handle_attach_index("p1", "d1", "i1", "L2", false); },
         "attach-1",
         {"wait_time 3000\n" + repeat(green("Request in queue")) +
              green("Successfully attached index"),
          info("Attaching index with collection_name, index_name, and dist_type: d1 i1 L2...") +
              info("Attaching index 'i1' to dataset 'd1'")}},
        {"dense batch",
         "/api/get_upload_data_status",
         insert_dense_batch,
         "batch-2",
         {"Server returns matching checksum: " + checksum + "\n" + green("Upload Finished.") +
              green("Done"),
          kBatchAnnounce + repeat(info("Upload is pending"))}},
    };
    for (const Job& job : jobs) {
        SCOPED_TRACE(job.name);
        sleeps.clear();
        int asked = 0;
        service->set(job.path, [&asked](const fake::Request&) {
            const bool done = ++asked > kRounds;
            return fake::Reply{
                200, done ? R"({"error_message":"Done","status":"finished","success":true})"
                          : R"({"status":"pending","success":true})"};
        });
        record.timestamps.clear();
        bool result = false;
        const Output o = capture([&] { result = job.run(); });
        EXPECT_TRUE(result);
        EXPECT_EQ(o.out, job.printed.out);
        EXPECT_EQ(o.err, job.printed.err);
        EXPECT_EQ(sleeps,
                  std::vector<std::chrono::milliseconds>(kRounds, std::chrono::milliseconds(3000)));
        const auto sent = service->requests(job.path);
        ASSERT_EQ(sent.size(), static_cast<size_t>(kRounds + 1));
        for (const auto& r : sent)
            ASSERT_EQ(r.body, R"({"job_id":")" + job.job_id + R"(","user_api_key":"test-key"})");
    }
    expect_no_problems();
}
