// The first stage of an upload: checks the arguments and options, asks the
// questions for CSV files without field names, and builds the upload request.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/helpers.h"
#include "client/options.h"

namespace rest_client::upload {

// What the reading stage needs.
struct UploadPlan {
    nlohmann::json request;        // the keys every shard's request starts from
    std::string file_format;       // "csv", "json", "libsvm" or "binary"
    bool has_field_names = true;
    std::string file_path;
    // The data file, opened once: the questions and every shard come from
    // this one open file, so what was looked at is what is sent.
    std::unique_ptr<InputFile> data;
    // The line the questions were asked from; it is still the first record.
    std::optional<std::string> first_line;
    std::optional<std::string> string_ids_path;
    int32_t shard_size = 0;        // SHARD_SIZE when the upload began
};

// Throws std::invalid_argument with the user's message when a check fails.
// Returns nothing after reporting options it did not use ("Invalid argument "
// lines); nothing is read beyond the data file's first line in either case.
std::optional<UploadPlan> prepare_upload(const std::string& project, const std::string& file_path,
                                         OptionMap options);

// The number of comma-separated fields of a line, counted as successive reads
// up to a comma count them: a last empty piece does not count.
uint64_t count_columns(const std::string& line);

// Unsigned decimal numbers at the start of a text, separated by white space,
// up to the first piece that is not one.
std::vector<uint64_t> leading_numbers(const std::string& text);

}  // namespace rest_client::upload
