// The service client: process-wide state, console lines, helpers, the rate
// limiter, login, version check and one handler per service command. The
// command shell calls the handlers; nothing here knows of the shell.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// Process-wide values set up before main runs.
extern std::string server_base_url;        // API base URL, endpoint paths are appended
extern const std::string TARVO_CLI_VERSION;  // "1.0.0"
extern int32_t SHARD_SIZE;                 // upload shard size in bytes

namespace rest_client {

using OptionMap = std::unordered_map<std::string, std::string>;

// ---- state -----------------------------------------------------------------
extern std::string user_api_key;
extern std::string session_token;
extern std::string username;
extern std::string account_service_url;   // account service, login goes here
extern std::string account_keys_page_url;  // shown in the welcome text
extern std::string sdk_docs_url;           // shown by the shell's welcome lines

// Parses a SHARD_SIZE text as the start-up does. Returns false (and leaves
// `out` alone) when the text is not a decimal integer in the 32-bit range.
bool parse_shard_size(const std::string& text, int32_t& out);

// ---- console lines -----------------------------------------------------------
void print_success(std::string message);
void print_warning(std::string message);
void print_error(std::string message);
void print_info(std::string message);
void print_border();

// ---- encoding, compression and files ------------------------------------------
std::string base64_encode(const std::string& text);
std::string base64_encode(const unsigned char* bytes, unsigned long length);
std::vector<unsigned char> gzipCompress(const std::vector<unsigned char>& data, int level);
std::string to_readable_size(uint64_t bytes);
std::string calculate_sha256(const std::string& text);
std::string readFileContents(const std::string& path);
std::vector<unsigned char> readFileAsBinary(const std::string& path);
int extractFirstElement(const std::string& shape);
void set_stdin_echo(bool enable);

// ---- rate limiter --------------------------------------------------------------
struct OperationLimit {
    std::deque<std::chrono::steady_clock::time_point> timestamps;
    double window_ms = 3000.0;
    int32_t max_operations = 10;
};
extern OperationLimit record;
extern std::mutex operation_limit_mutex;

// True when the current operation is over the limit (and records it).
bool rate_limit();
// Returns when the operation may go ahead; otherwise prints the refusal line
// and throws std::runtime_error.
void check_rate_limit();

// ---- login and version check ---------------------------------------------------
bool handle_login_with_api_key(const std::string& api_key);
void prompt_and_authenticate();
bool handle_check_cli_version();

// ---- management -----------------------------------------------------------------
bool handle_create_project(const std::string& project, const std::string& application);
bool handle_init_dataset(const std::string& project, const std::string& dataset,
                         const std::string& vector_type, const std::string& vector_dim);
bool handle_delete_project(const std::string& project);
bool handle_delete_dataset(const std::string& project, const std::string& dataset);
bool handle_delete_index(const std::string& project, const std::string& dataset,
                         const std::string& index);
bool handle_fetch_projects();
bool handle_fetch_datasets(const std::string& project);
bool handle_list_index_infos(const std::string& project, const std::string& dataset);
bool handle_attach_index(const std::string& project, const std::string& dataset,
                         const std::string& index, const std::string& dist_type,
                         const bool& large_index);

// ---- vectors ----------------------------------------------------------------------
bool handle_insert_vector(const std::string& project, const std::string& dataset,
                          const std::string& string_id, std::vector<std::string> values,
                          std::unordered_map<std::string, std::string> options);
bool handle_insert_vector(const std::string& project, const std::string& dataset,
                          const std::string& string_id, const std::string& sparse_text,
                          std::unordered_map<std::string, std::string> options);
bool handle_insert_vector_batch(const std::string& project, const std::string& dataset,
                                std::vector<std::string> string_ids,
                                std::vector<std::vector<std::string>> rows,
                                std::unordered_map<std::string, std::string> options);
bool handle_insert_vector_batch(const std::string& project, const std::string& dataset,
                                std::vector<std::string> string_ids,
                                const std::vector<std::string>& sparse_texts,
                                std::unordered_map<std::string, std::string> options);
bool handle_delete_vector(const std::string& project, const std::string& dataset,
                          const std::vector<std::string>& string_ids);

// ---- search and upload --------------------------------------------------------------
bool handle_search(const std::string& project, const std::string& dataset,
                   const std::string& index, const std::string& query_type,
                   std::unordered_map<std::string, std::string> options);
bool handle_upload(const std::string& project, const std::string& file_path,
                   std::unordered_map<std::string, std::string> options);

}  // namespace rest_client
