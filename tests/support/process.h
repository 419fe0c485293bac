// Runs the real binary (or any program) as a child process, and drives the
// binary in a real terminal through tmux.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fake/fake_service.h"

namespace test_support {

struct RunResult {
    int exit_code = -1;  // -1 when killed by a signal or the time limit
    std::string out;
    std::string err;
};

struct RunOptions {
    std::vector<std::string> args;                   // after the program name
    std::string input;                               // written to standard input, then closed
    std::map<std::string, std::string> env;          // added to (or replacing) the environment
    std::vector<std::string> unset_env;              // removed from the environment
    int time_limit_seconds = 120;
    std::string working_dir;
};

RunResult run_program(const std::string& program, const RunOptions& options);

// build/tarvo-test pointed at the fake service, with TARVO_API_KEY set to the
// valid key unless the options set or unset it.
RunResult run_tarvo(const fake::FakeService& service, RunOptions options);

// The environment that points build/tarvo-test at a fake service.
std::map<std::string, std::string> tarvo_env(const fake::FakeService& service);

// A terminal session in tmux running one command.
class TmuxSession {
public:
    // Starts `command` (a shell command line) in a detached session of the
    // given size; its exit status is written to a file when it ends.
    explicit TmuxSession(const std::string& command, int width = 200, int height = 50);
    ~TmuxSession();
    TmuxSession(const TmuxSession&) = delete;
    TmuxSession& operator=(const TmuxSession&) = delete;

    void send_keys(const std::vector<std::string>& keys);  // tmux key names or literal text
    void type(const std::string& text);                    // literal text
    std::string screen() const;
    // Waits (polling, at most `seconds`) until the screen contains `text`.
    bool wait_for(const std::string& text, int seconds = 20) const;
    // Waits for the command to end; returns its exit status or -1.
    int wait_exit(int seconds = 20) const;

private:
    std::string name_;
    std::string status_file_;
};

}  // namespace test_support

namespace test_support {
// A loopback port on which nothing listens (bound, then closed again).
int unused_loopback_port();
}  // namespace test_support
