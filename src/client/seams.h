// The points where tests put stand-ins for time, waiting, standard input and
// the command handlers the shell dispatches to. An empty function means the
// real thing. Tests change them only through a SeamsGuard, which puts back
// what was there.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "client/handlers.h"

namespace rest_client {

// The command handlers, held in one table so that a test can put a recorder
// in place of any of them. The shell calls them only through this table.
struct Handlers {
    using S = const std::string&;
    using Strings = std::vector<std::string>;
    using Rows = std::vector<std::vector<std::string>>;

    std::function<bool(S, S, S, S, const bool&)> attach_index = handle_attach_index;
    std::function<bool(S, S, S, S)> init_dataset = handle_init_dataset;
    std::function<bool(S, S)> create_project = handle_create_project;
    std::function<bool(S, S)> delete_dataset = handle_delete_dataset;
    std::function<bool(S)> delete_project = handle_delete_project;
    std::function<bool(S, S, S)> delete_index = handle_delete_index;
    std::function<bool(S)> fetch_datasets = handle_fetch_datasets;
    std::function<bool()> fetch_projects = handle_fetch_projects;
    std::function<bool(S, S)> list_index_infos = handle_list_index_infos;
    std::function<bool(S, S, const Strings&)> delete_vector = handle_delete_vector;
    std::function<bool(S, S, S, Strings, OptionMap)> insert_vector_dense =
        static_cast<bool (*)(S, S, S, Strings, OptionMap)>(handle_insert_vector);
    std::function<bool(S, S, S, S, OptionMap)> insert_vector_sparse =
        static_cast<bool (*)(S, S, S, S, OptionMap)>(handle_insert_vector);
    std::function<bool(S, S, Strings, Rows, OptionMap)> insert_vector_batch_dense =
        static_cast<bool (*)(S, S, Strings, Rows, OptionMap)>(handle_insert_vector_batch);
    std::function<bool(S, S, Strings, const Strings&, OptionMap)> insert_vector_batch_sparse =
        static_cast<bool (*)(S, S, Strings, const Strings&, OptionMap)>(handle_insert_vector_batch);
    std::function<bool(S, S, S, S, OptionMap)> search = handle_search;
    std::function<bool(S, S, OptionMap)> upload = handle_upload;
};

struct Seams {
    // Every wait between polls.
    std::function<void(std::chrono::milliseconds)> sleep;
    // The rate limiter's clock.
    std::function<std::chrono::steady_clock::time_point()> clock;
    // Answers read from standard input: nothing at end of input.
    std::function<std::optional<std::string>()> read_line;
    Handlers handlers;
};

Seams& seams();

// Restores the seams as they were when it was made.
class SeamsGuard {
public:
    SeamsGuard() : saved_(seams()) {}
    ~SeamsGuard() { seams() = saved_; }
    SeamsGuard(const SeamsGuard&) = delete;
    SeamsGuard& operator=(const SeamsGuard&) = delete;

private:
    Seams saved_;
};

}  // namespace rest_client
