#include "client/upload/arguments.h"

#include <cctype>
#include <iostream>
#include <stdexcept>

#include "client/helpers.h"
#include "client/service_call.h"
#include "client/state.h"

namespace rest_client::upload {

namespace {

using json = nlohmann::json;

// Standard input ended (or failed) while an answer was awaited: the upload
// stops rather than guess an answer.
const char kNoAnswer[] = "Standard input ended before the question was answered";

void ask(const std::string& line) { std::cout << line << std::endl; }

std::string read_answer_line() {
    std::optional<std::string> line = read_stdin_line();
    if (!line) throw std::invalid_argument(kNoAnswer);
    return *line;
}

bool ask_yes_no(const std::string& question) {
    ask(question);
    for (;;) {
        std::string line = read_answer_line();
        if (line == "y") return true;
        if (line == "n") return false;
        ask("Please answer (y/n)");
    }
}

bool blank(const std::string& line) {
    for (unsigned char c : line)
        if (!std::isspace(c)) return false;
    return true;
}

// One column number; blank lines before it are skipped, a line that does not
// start with a number asks again.
uint64_t ask_column(const std::string& prompt) {
    ask(prompt);
    for (;;) {
        std::string line = read_answer_line();
        if (blank(line)) continue;
        std::vector<uint64_t> numbers = leading_numbers(line);
        if (!numbers.empty()) return numbers.front();
        ask(prompt);
    }
}

void ask_questions(json& request, uint64_t columns) {
    const std::string range = "between 1 and " + std::to_string(columns);
    if (ask_yes_no("Do you want to insert a vector_id_field_name? (y/n)")) {
        uint64_t column = ask_column("Please input a number " + range +
                                     ", denoting the column number (1-based) of the column you "
                                     "want as your vector_id_field_name");
        request["vector_id_field_name"] = std::to_string(column);
    }
    if (ask_yes_no("Do you want to insert attributes? (y/n)")) {
        ask("Please input number(s) " + range +
            " in a line separated by a space, denoting the column number (1-based) of the "
            "column(s) you want as your vector_attribute(s)");
        json attributes = json::array();
        for (uint64_t n : leading_numbers(read_answer_line())) attributes.push_back(std::to_string(n));
        request["vector_attributes"] = std::move(attributes);
    }
}

void discard_with_warning(OptionMap& options, const std::string& key) {
    auto it = options.find(key);
    if (it == options.end()) return;
    options.erase(it);
    print_warning("Argument " + key + " discarded");
}

// file_format, has_field_names and the dataset: the keys every format has.
void take_common_keys(UploadPlan& plan, OptionMap& options) {
    json& request = plan.request;
    std::string format;
    if (!take_option(options, "file_format", format))
        throw std::invalid_argument("File format argument required!");
    request["file_format"] = format;
    if (format != "csv" && format != "json" && format != "libsvm" && format != "binary")
        throw std::invalid_argument(
            "File format must be one of \"csv\", \"json\", \"libsvm\", \"binary\"");
    plan.file_format = format;

    std::string field_names;
    take_option(options, "has_field_names", field_names);
    plan.has_field_names = field_names != "false";
    request["has_field_names"] = plan.has_field_names;

    std::string dataset;
    if (!take_option(options, "collection_name", dataset))
        throw std::invalid_argument(
            "Argument dataset_name is required for UPLOAD. This is the data collection the vectors "
            "will be added to.");
    request["dataset_name"] = dataset;
}

void take_vector_type(UploadPlan& plan, OptionMap& options) {
    const std::string& format = plan.file_format;
    std::string vector_type;
    const bool has_type = take_option(options, "vector_type", vector_type);
    if (format == "libsvm") {
        plan.request["vector_type"] = "sparse";
        if (has_type) print_warning("Vector type parameter ignored, only sparse vector supported for libsvm");
    } else if (format == "binary") {
        plan.request["vector_type"] = "dense";
        if (has_type) print_warning("Vector type parameter ignored, only dense vector supported for binary");
    } else if (has_type) {
        plan.request["vector_type"] = vector_type;
    } else {
        throw std::invalid_argument("Argument vector_type required for " + format + " file format");
    }
}

// What the format's fields are called, or how binary records are laid out;
// a CSV file without field names asks the user instead.
void take_field_options(UploadPlan& plan, OptionMap& options) {
    json& request = plan.request;
    const std::string& format = plan.file_format;
    std::string text;
    if (plan.has_field_names && (format == "csv" || format == "json")) {
        if (format == "json") {
            if (!take_option(options, "vector_data_field_name", text))
                throw std::invalid_argument("Missing vector_data_field_name argument");
            request["vector_data_field_name"] = text;
        }
        if (take_option(options, "vector_id_field_name", text)) request["vector_id_field_name"] = text;
        if (take_option(options, "attributes", text))
            request["vector_attributes"] = parse_json(text).get<std::vector<std::string>>();
    } else if (format == "binary") {
        if (!take_option(options, "binary_dim", text))
            throw std::invalid_argument("Missing binary_dim argument");
        request["binary_dim"] = to_int(text, "argument -binary_dim should be an integer");
        if (!take_option(options, "binary_dtype", text))
            throw std::invalid_argument("Missing binary_dtype argument");
        request["binary_dtype"] = text;
    } else {
        discard_with_warning(options, "vector_id_field_name");
        discard_with_warning(options, "attributes");
        if (format == "csv") {
            std::string line;
            if (plan.data->getline(line)) plan.first_line = line;
            ask_questions(request, count_columns(line));
        }
    }
}

}  // namespace

uint64_t count_columns(const std::string& line) {
    uint64_t commas = 0;
    size_t last = 0;
    for (size_t i = 0; i < line.size(); ++i)
        if (line[i] == ',') {
            ++commas;
            last = i + 1;
        }
    return commas + (last < line.size() ? 1 : 0);
}

std::vector<uint64_t> leading_numbers(const std::string& text) {
    std::vector<uint64_t> numbers;
    size_t pos = 0;
    while (std::optional<uint64_t> n = read_unsigned(text, pos)) numbers.push_back(*n);
    return numbers;
}

std::optional<UploadPlan> prepare_upload(const std::string& project, const std::string& file_path,
                                         OptionMap options) {
    print_info("Uploading with file_path: " + file_path + "...");
    UploadPlan plan;
    plan.data = std::make_unique<InputFile>(file_path, "Could not open file ");
    plan.file_path = file_path;
    plan.shard_size = SHARD_SIZE;
    plan.request = json::object();
    plan.request["user_api_key"] = user_api_key;
    plan.request["compression_type"] = "gzip";
    plan.request["project_name"] = project;
    take_common_keys(plan, options);
    take_vector_type(plan, options);
    take_field_options(plan, options);

    std::string ids_path;
    if (take_option(options, "string_ids_file_path", ids_path)) plan.string_ids_path = ids_path;

    if (!options.empty()) {
        for (const auto& entry : options) print_error("Invalid argument " + entry.first);
        return std::nullopt;
    }
    return plan;
}

}  // namespace rest_client::upload
