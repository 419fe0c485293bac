// The API key never reaches standard output or standard error, except where
// the user typed it at the prompt in a terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "fake/fake_service.h"
#include "support/process.h"

namespace {

const std::string kKey = "sk-live-7Q2xZr9Fh3Wd";

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// An upload and every command once, failures included. (Later commands
// meet the rate limiter, whose refusals are output too.)
std::string session(const std::string& csv) {
    return "UPLOAD p " + csv +
           " --dataset_name d --file_format csv --vector_type dense --has_field_names true\n"
           "CREATE_PROJECT p search\n"
           "CREATE_PROJECT p nonsense\n"
           "FETCH_PROJECTS\n"
           "INIT_DATASET p d dense 2\n"
           "FETCH_DATASETS p\n"
           "INSERT_VECTOR p d v [1, 2]\n"
           "INSERT_VECTOR p d v [1:2]\n"
           "INSERT_VECTOR_BATCH p d [a, b] [[1, 2], [3, 4]]\n"
           "INSERT_VECTOR_BATCH p d [a] [[1:2]]\n"
           "SEARCH p d i vector --query_vector [1, 2]\n"
           "SEARCH p d i row --row_number 1 --bogus 3\n"
           "DELETE_VECTOR p d [a]\n"
           "ATTACH_INDEX p d i l2\n"
           "LIST_INDEX p d\n"
           "DELETE_INDEX p d i\ny\n"
           "DELETE_DATASET p d\ny\n"
           "DELETE_PROJECT p\ny\n"
           "HELP\n"
           "exit\n";
}

class Secrets : public ::testing::Test {
protected:
    void SetUp() override {
        service.set_valid_key(kKey);
        // Answers that echo the request back: a careless client would then
        // print the key with them.
        service.set("/api/search", fake::Handler([](const fake::Request&) {
                        return fake::Reply{500, "internal error"};
                    }));
        csv = testing::TempDir() + "secrets_upload.csv";
        std::ofstream(csv) << "id,a,b\n1,0.5,1.5\n2,2.5,3.5\n";
    }
    void TearDown() override { std::remove(csv.c_str()); }
    fake::FakeService service;
    std::string csv;
};

}  // namespace

TEST_F(Secrets, KeyFromTheEnvironmentIsNeverPrinted) {
    test_support::RunOptions o;
    o.env["TARVO_API_KEY"] = kKey;
    o.input = session(csv);
    auto r = test_support::run_tarvo(service, o);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("Bye!"), std::string::npos);
    EXPECT_EQ(count(r.out, kKey), 0u) << r.out;
    EXPECT_EQ(count(r.err, kKey), 0u) << r.err;
    // It was really used.
    EXPECT_GT(service.requests("/api/upload").size(), 0u);
    for (const auto& req : service.requests()) {
        if (req.method == "POST") {
            EXPECT_NE(req.body.find(kKey), std::string::npos) << req.path;
        }
    }
}

TEST_F(Secrets, KeyTypedThroughAPipeIsNeverPrinted) {
    test_support::RunOptions o;
    o.unset_env = {"TARVO_API_KEY"};
    o.input = "wrong-key\n" + kKey + "\n" + session(csv);
    auto r = test_support::run_tarvo(service, o);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("Logged in successfully! Username: tester"), std::string::npos);
    EXPECT_EQ(count(r.out + r.err, kKey), 0u) << r.out << r.err;
    // The refused key is not printed either.
    EXPECT_EQ(count(r.out + r.err, "wrong-key"), 0u);
}

TEST_F(Secrets, KeyTypedInATerminalShowsOnlyWhereItWasTyped) {
    std::string cmd = "env -u TARVO_API_KEY";
    for (const auto& [k, v] : test_support::tarvo_env(service)) cmd += " " + k + "=" + v;
    test_support::TmuxSession term(cmd + " " TARVO_TEST_BINARY " 2>&1", 200, 200);
    ASSERT_TRUE(term.wait_for("Enter your Tarvo API key:"));
    term.type(kKey);
    term.send_keys({"Enter"});
    ASSERT_TRUE(term.wait_for("Type 'exit' to exit.")) << term.screen();
    term.type("FETCH_PROJECTS");
    term.send_keys({"Enter"});
    term.type("CREATE_PROJECT p wrong");
    term.send_keys({"Enter"});
    ASSERT_TRUE(term.wait_for("Please set the application argument")) << term.screen();
    term.type("exit");
    term.send_keys({"Enter"});
    EXPECT_EQ(term.wait_exit(), 0);
    const std::string screen = term.screen();
    EXPECT_EQ(count(screen, kKey), 1u) << screen;
    EXPECT_NE(screen.find("Enter your Tarvo API key: " + kKey), std::string::npos) << screen;
}
