// In-process runs of command lines through the real scanner and grammar,
// with the command handlers replaced by recorders, standard input fed from
// a string, and both output streams captured.
#pragma once

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/seams.h"
#include "shell/help_texts.h"
#include "shell/shell.h"
#include "support/capture.h"

namespace shell_test {

// One handler call: its name and its arguments as text (lists and option
// maps as JSON, sorted).
struct Call {
    std::string handler;
    std::vector<std::string> args;
    bool operator==(const Call& o) const { return handler == o.handler && args == o.args; }
};

inline std::ostream& operator<<(std::ostream& os, const Call& c) {
    os << c.handler << "(";
    for (size_t i = 0; i < c.args.size(); ++i) os << (i ? ", " : "") << c.args[i];
    return os << ")";
}

inline std::string text(const std::string& s) { return s; }
inline std::string text(bool b) { return b ? "true" : "false"; }
inline std::string text(const std::vector<std::string>& v) { return nlohmann::json(v).dump(); }
inline std::string text(const std::vector<std::vector<std::string>>& v) {
    return nlohmann::json(v).dump();
}
inline std::string text(const rest_client::OptionMap& m) {
    return nlohmann::json(std::map<std::string, std::string>(m.begin(), m.end())).dump();
}

struct LineRun {
    int result = 0;  // the parser's result
    std::string out;
    std::string err;
};

// The shell's console lines, byte for byte.
inline std::string error_lines(const std::string& message) {
    return "\033[31m[ERROR] " + message +
           "\033[0m\nUse COMMAND_NAME -h to find the format of a command or HELP to get the list "
           "of all valid commands\n";
}
inline std::string syntax_error() { return error_lines("syntax error"); }
inline std::string warning_line(const std::string& m) { return "\033[33m[WARNING] " + m + "\033[0m\n"; }
inline std::string debug_line(const std::string& m) { return "\033[32m[Tarvo] " + m + "\033[0m\n"; }
inline std::string help(const std::string& command) {
    std::string out;
    for (const char* line : help_lines(command)) out += std::string(line) + "\n";
    return out;
}

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto& h = rest_client::seams().handlers;
        h.attach_index = [this](const auto&... a) { return record("attach_index", a...); };
        h.init_dataset = [this](const auto&... a) { return record("init_dataset", a...); };
        h.create_project = [this](const auto&... a) { return record("create_project", a...); };
        h.delete_dataset = [this](const auto&... a) { return record("delete_dataset", a...); };
        h.delete_project = [this](const auto&... a) { return record("delete_project", a...); };
        h.delete_index = [this](const auto&... a) { return record("delete_index", a...); };
        h.fetch_datasets = [this](const auto&... a) { return record("fetch_datasets", a...); };
        h.fetch_projects = [this]() { return record("fetch_projects"); };
        h.list_index_infos = [this](const auto&... a) { return record("list_index_infos", a...); };
        h.delete_vector = [this](const auto&... a) { return record("delete_vector", a...); };
        h.insert_vector_dense = [this](const auto&... a) { return record("insert_vector_dense", a...); };
        h.insert_vector_sparse = [this](const auto&... a) { return record("insert_vector_sparse", a...); };
        h.insert_vector_batch_dense = [this](const auto&... a) {
            return record("insert_vector_batch_dense", a...);
        };
        h.insert_vector_batch_sparse = [this](const auto&... a) {
            return record("insert_vector_batch_sparse", a...);
        };
        h.search = [this](const auto&... a) { return record("search", a...); };
        h.upload = [this](const auto&... a) { return record("upload", a...); };
    }
    void TearDown() override { rest_client::seams().handlers = rest_client::Handlers(); }

    // Runs one line (a newline is appended) with `input` on standard input.
    LineRun run(const std::string& line, const std::string& input = "") {
        std::istringstream in(input);
        std::streambuf* saved = std::cin.rdbuf(in.rdbuf());
        LineRun r;
        auto o = test_support::capture([&] { r.result = shell::parse_command_line(line + "\n"); });
        std::cin.rdbuf(saved);
        std::cin.clear();
        r.out = o.out;
        r.err = o.err;
        return r;
    }

    std::vector<Call> calls;

private:
    template <class... A>
    bool record(const std::string& name, const A&... args) {
        calls.push_back(Call{name, {text(args)...}});
        return true;
    }
};

}  // namespace shell_test
