#include "shell/actions.h"

#include <iostream>

#include <nlohmann/json.hpp>

#include "client/helpers.h"
#include "client/seams.h"
#include "client/state.h"
#include "shell/console.h"
#include "shell/help_texts.h"

namespace shell {
namespace {

using json = nlohmann::json;
using rest_client::OptionMap;

std::string lower_ascii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

void error_line(const std::string& message) { yyerror(message.c_str()); }

// Asks a yes/no question on standard input. The answer is read as a plain
// line, never through the line editor, so it stays out of the history; end
// of input cancels.
bool confirmed(const std::string& question, bool newline) {
    std::cout << rest_client::coloured(rest_client::Colour::yellow, question);
    if (newline) std::cout << "\n";
    std::cout.flush();
    const std::optional<std::string> answer = rest_client::read_stdin_line();
    return answer && (*answer == "y" || *answer == "Y");
}

void cancelled(const char* text) {
    rest_client::write_line(std::cout, rest_client::Colour::red, text);
}

rest_client::Handlers& handlers() { return rest_client::seams().handlers; }

OptionMap handler_options(const Options& options) { return OptionMap(options.begin(), options.end()); }

bool dump(const json& value, std::string& text) {
    try {
        text = value.dump();
        return true;
    } catch (const json::exception&) {
        error_line("List values must be UTF-8 text");
        return false;
    }
}

}  // namespace

// ---- management ----------------------------------------------------------------

bool attach_index(const std::string& project, const std::string& dataset,
                  const std::string& index, const std::string& dist_type,
                  const std::string* large_index) {
    bool large = false;
    if (large_index) {
        const std::optional<bool> word = rest_client::yes_no_word(*large_index);
        if (!word) {
            error_line("Invalid value for large_index. Expected one of: \"true\", \"false\", "
                       "\"yes\", \"no\", \"1\", \"0\".");
            return false;
        }
        large = *word;
    }
    debug("Attaching index '" + index + "' to dataset '" + dataset + "' with large_index=" +
          (large ? "true" : "false") + "...");
    handlers().attach_index(project, dataset, index, dist_type, large);
    return true;
}

bool init_dataset(const std::string& project, const std::string& dataset,
                  const std::string& vector_type, const std::string* vector_dim) {
    if (!vector_dim) {
        if (vector_type != "sparse") {
            error_line("vector_dim is required for non-sparse vector types");
            print_init_dataset_help();
            return false;
        }
        handlers().init_dataset(project, dataset, "sparse", "0");
        return true;
    }
    if (vector_type == "sparse") yywarning("vector_dim is ignored for sparse vector type");
    handlers().init_dataset(project, dataset, vector_type, *vector_dim);
    return true;
}

void create_project(const std::string& project, const std::string& application) {
    handlers().create_project(project, application);
}

void delete_dataset(const std::string& project, const std::string& dataset) {
    if (confirmed("Are you sure you want to delete dataset '" + dataset + "' in project'" +
                      project + "'? [y/N]: ",
                  false))
        handlers().delete_dataset(project, dataset);
    else
        cancelled("Deletion cancelled.");
}

void delete_project(const std::string& project) {
    if (confirmed("Are you sure you want to delete project '" + project + "'? [y/N]: ", false))
        handlers().delete_project(project);
    else
        cancelled("Deletion cancelled");
}

void delete_index(const std::string& project, const std::string& dataset,
                  const std::string& index) {
    if (confirmed("Are you sure you want to delete index '" + index + "' from dataset '" +
                      dataset + "'? [y/N]: ",
                  true)) {
        handlers().delete_index(project, dataset, index);
        debug("Delete index done.");
    } else {
        cancelled("Deletion cancelled.");
    }
}

void fetch_datasets(const std::string& project) {
    handlers().fetch_datasets(project);
    debug("Fetch datasets done.");
}

void fetch_projects() { handlers().fetch_projects(); }

void list_index(const std::string& project, const std::string& dataset) {
    handlers().list_index_infos(project, dataset);
}

// ---- vectors ---------------------------------------------------------------------

void delete_vector(const std::string& project, const std::string& dataset, const Strings& ids) {
    handlers().delete_vector(project, dataset, ids);
}

void insert_vector_dense(const std::string& project, const std::string& dataset,
                         const std::string& id, Strings values, const Options& options) {
    handlers().insert_vector_dense(project, dataset, id, std::move(values),
                                   handler_options(options));
}

void insert_vector_sparse(const std::string& project, const std::string& dataset,
                          const std::string& id, const std::string& sparse_text,
                          const Options& options) {
    handlers().insert_vector_sparse(project, dataset, id, sparse_text, handler_options(options));
}

void insert_vector_batch_dense(const std::string& project, const std::string& dataset,
                               Strings ids, Rows rows, const Options& options) {
    handlers().insert_vector_batch_dense(project, dataset, std::move(ids), std::move(rows),
                                         handler_options(options));
}

void insert_vector_batch_sparse(const std::string& project, const std::string& dataset,
                                Strings ids, const Strings& sparse_texts,
                                const Options& options) {
    handlers().insert_vector_batch_sparse(project, dataset, std::move(ids), sparse_texts,
                                          handler_options(options));
}

// ---- search and upload -----------------------------------------------------------

void search(const std::string& project, const std::string& dataset, const std::string& index,
            const std::string& query_type, const Options& options) {
    handlers().search(project, dataset, index, query_type, handler_options(options));
}

bool upload(const std::string& project, const std::string& file_path, const Options& options) {
    const char* problem = nullptr;
    auto format = options.find("file_format");
    auto binary_dim = options.find("binary_dim");
    if (format == options.end())
        problem = "Missing required argument: --file_format";
    else if ((format->second == "csv" || format->second == "json") &&
             !options.count("has_field_names"))
        problem = "Missing required argument: --has_field_names (required for csv/json)";
    else if (binary_dim != options.end() && !rest_client::parse_int32(binary_dim->second))
        problem = "binary_dim must be an integer";
    if (problem) {
        yyerror(problem);
        print_upload_help();
        return false;
    }
    debug("[UPLOAD] File: " + file_path);
    for (const auto& [key, value] : options) debug("[ARG] " + key + " = " + value);
    handlers().upload(project, file_path, handler_options(options));
    return true;
}

// ---- options and list texts --------------------------------------------------------

Options* option(std::string key, std::string value) {
    auto* one = new Options;
    one->emplace(std::move(key), std::move(value));
    return one;
}

bool merge_option(Options& gathered, const Options& one) {
    for (const auto& [key, value] : one) {
        debug(key);
        if (gathered.count(key)) {
            error_line("Repeated argument " + key);
            return false;
        }
        gathered.emplace(key, value);
    }
    return true;
}

void trace_insert_vector_options(const Options& gathered) {
    for (const auto& [key, value] : gathered)
        debug("insert_vector_options: " + key + " = " + value);
}

void print_search_options(const Options& gathered) {
    for (const auto& [key, value] : gathered)
        rest_client::write_line(std::cout, rest_client::Colour::none,
                                "[Tarvo] search_options: " + key + " = " + value);
}

bool has_field_names(const std::string& word, std::string& value) {
    const std::optional<bool> yes = rest_client::yes_no_word(word);
    if (!yes) {
        error_line("Invalid value for HAS_FIELD_NAMES: " + lower_ascii(word));
        return false;
    }
    value = *yes ? "true" : "false";
    return true;
}

bool object_text(const Options& pairs, std::string& text) {
    json object = json::object();
    for (const auto& [key, value] : pairs) object[key] = value;
    return dump(object, text);
}

bool array_text(const Strings& words, std::string& text) { return dump(json(words), text); }

bool batch_attribute_text(const Strings& object_texts, std::string& text) {
    json array = json::array();
    for (const std::string& object : object_texts) array.push_back(json::parse(object));
    return dump(array, text);
}

}  // namespace shell
