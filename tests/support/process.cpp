#include "support/process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace test_support {

RunResult run_program(const std::string& program, const RunOptions& options) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe)) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        for (const auto& name : options.unset_env) unsetenv(name.c_str());
        for (const auto& [k, v] : options.env) setenv(k.c_str(), v.c_str(), 1);
        if (!options.working_dir.empty() && chdir(options.working_dir.c_str()) != 0) _exit(127);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : options.args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    signal(SIGPIPE, SIG_IGN);
    fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);

    RunResult result;
    size_t written = 0;
    int in_fd = in_pipe[1];
    if (options.input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    bool out_open = true, err_open = true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.time_limit_seconds);
    bool killed = false;
    while (out_open || err_open) {
        pollfd fds[3];
        int n = 0;
        if (out_open) fds[n++] = {out_pipe[0], POLLIN, 0};
        if (err_open) fds[n++] = {err_pipe[0], POLLIN, 0};
        if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
        poll(fds, n, 100);
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == in_fd) {
                ssize_t w = write(in_fd, options.input.data() + written, options.input.size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                if (w < 0 && errno != EAGAIN) written = options.input.size();
                if (written == options.input.size()) {
                    close(in_fd);
                    in_fd = -1;
                }
                continue;
            }
            char buf[65536];
            ssize_t r = read(fds[i].fd, buf, sizeof buf);
            bool is_out = fds[i].fd == out_pipe[0];
            if (r <= 0) {
                (is_out ? out_open : err_open) = false;
            } else {
                (is_out ? result.out : result.err).append(buf, static_cast<size_t>(r));
            }
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
    }
    if (in_fd >= 0) close(in_fd);
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_code = (!killed && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return result;
}

std::map<std::string, std::string> tarvo_env(const fake::FakeService& service) {
    return {{"TARVO_TEST_API_URL", service.api_url()},
            {"TARVO_TEST_ACCOUNT_URL", service.base_url()}};
}

RunResult run_tarvo(const fake::FakeService& service, RunOptions options) {
    for (const auto& [k, v] : tarvo_env(service)) options.env.emplace(k, v);
    bool key_named = options.env.count("TARVO_API_KEY") > 0;
    for (const auto& u : options.unset_env) key_named = key_named || u == "TARVO_API_KEY";
    if (!key_named) options.env["TARVO_API_KEY"] = fake::FakeService::kValidKey;
    options.unset_env.push_back("SHARD_SIZE");
    return run_program(TARVO_TEST_BINARY, options);
}

namespace {

std::string shell_quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string run_capture(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

std::atomic<int> session_counter{0};

}  // namespace

TmuxSession::TmuxSession(const std::string& command, int width, int height) {
    name_ = "tarvo-test-" + std::to_string(getpid()) + "-" + std::to_string(session_counter++);
    status_file_ = "/tmp/" + name_ + ".status";
    std::remove(status_file_.c_str());
    std::string wrapped = command + "; echo $? > " + status_file_ + "; sleep 30";
    std::string cmd = "tmux -L " + name_ + " new-session -d -s " + name_ + " -x " +
                      std::to_string(width) + " -y " + std::to_string(height) + " " +
                      shell_quote(wrapped);
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE_AT(__FILE__, __LINE__);
}

TmuxSession::~TmuxSession() {
    std::string cmd = "tmux -L " + name_ + " kill-server 2>/dev/null";
    if (std::system(cmd.c_str())) {
    }
    std::remove(status_file_.c_str());
}

void TmuxSession::send_keys(const std::vector<std::string>& keys) {
    std::string cmd = "tmux -L " + name_ + " send-keys -t " + name_;
    for (const auto& k : keys) cmd += " " + shell_quote(k);
    if (std::system(cmd.c_str())) {
    }
}

void TmuxSession::type(const std::string& text) {
    std::string cmd = "tmux -L " + name_ + " send-keys -l -t " + name_ + " " + shell_quote(text);
    if (std::system(cmd.c_str())) {
    }
}

std::string TmuxSession::screen() const {
    return run_capture("tmux -L " + name_ + " capture-pane -p -t " + name_ + " 2>/dev/null");
}

bool TmuxSession::wait_for(const std::string& text, int seconds) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (screen().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

int TmuxSession::wait_exit(int seconds) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(status_file_);
        int status;
        if (in >> status) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

}  // namespace test_support

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace test_support {

int unused_loopback_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

}  // namespace test_support
