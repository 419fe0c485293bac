// What the grammar's statements do once their words are read: checks,
// confirmations, trace lines and the handler call. The grammar copies its
// values and frees them; everything here works on the copies. A function
// returning false has reported why, and the line is to be abandoned.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace shell {

using Strings = std::vector<std::string>;
using Rows = std::vector<std::vector<std::string>>;
// The options of one statement. Sorted, so trace lines come in key order.
using Options = std::map<std::string, std::string>;

// Moves a value out of the heap object the scanner or a rule made, and
// frees the object.
template <class T>
T take(T* value) {
    T copy = std::move(*value);
    delete value;
    return copy;
}

// ---- management ----------------------------------------------------------------
bool attach_index(const std::string& project, const std::string& dataset,
                  const std::string& index, const std::string& dist_type,
                  const std::string* large_index);  // null: not given
bool init_dataset(const std::string& project, const std::string& dataset,
                  const std::string& vector_type, const std::string* vector_dim);
void create_project(const std::string& project, const std::string& application);
void delete_dataset(const std::string& project, const std::string& dataset);
void delete_project(const std::string& project);
void delete_index(const std::string& project, const std::string& dataset,
                  const std::string& index);
void fetch_datasets(const std::string& project);
void fetch_projects();
void list_index(const std::string& project, const std::string& dataset);

// ---- vectors ---------------------------------------------------------------------
void delete_vector(const std::string& project, const std::string& dataset, const Strings& ids);
void insert_vector_dense(const std::string& project, const std::string& dataset,
                         const std::string& id, Strings values, const Options& options);
void insert_vector_sparse(const std::string& project, const std::string& dataset,
                          const std::string& id, const std::string& sparse_text,
                          const Options& options);
void insert_vector_batch_dense(const std::string& project, const std::string& dataset,
                               Strings ids, Rows rows, const Options& options);
void insert_vector_batch_sparse(const std::string& project, const std::string& dataset,
                                Strings ids, const Strings& sparse_texts,
                                const Options& options);

// ---- search and upload -----------------------------------------------------------
void search(const std::string& project, const std::string& dataset, const std::string& index,
            const std::string& query_type, const Options& options);
bool upload(const std::string& project, const std::string& file_path, const Options& options);

// ---- options and list texts --------------------------------------------------------
Options* option(std::string key, std::string value);
// Traces the key; a key already gathered is an error.
bool merge_option(Options& gathered, const Options& one);
void trace_insert_vector_options(const Options& gathered);
void print_search_options(const Options& gathered);
// "true" or "false" from the ways of saying them; an error for anything else.
bool has_field_names(const std::string& word, std::string& value);

// Compact JSON texts of lists. They fail, with an error line, only for words
// that are not UTF-8 text.
bool object_text(const Options& pairs, std::string& text);
bool array_text(const Strings& words, std::string& text);
bool batch_attribute_text(const Strings& object_texts, std::string& text);

}  // namespace shell
