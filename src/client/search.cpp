// Nearest-neighbour search: turns the SEARCH options into one /search request
// and prints the matches the service answers with.
#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "client/handlers.h"
#include "client/helpers.h"
#include "client/service_call.h"
#include "client/state.h"

namespace rest_client {
namespace {

// Leading white space and an optional plus sign, then decimal digits; the
// rest is ignored. A minus sign is refused rather than wrapped around.
uint64_t parse_row_number(const std::string& text) {
    size_t pos = 0;
    const std::optional<uint64_t> value = read_unsigned(text, pos);
    if (!value) throw std::invalid_argument("argument -row_number should be a non-negative integer");
    return *value;
}

// A non-finite element would go out as JSON null, so nan and inf are refused
// together with text that is not a number.
json parse_query_vector(const std::string& text) {
    const json parsed = parse_json(text);
    if (!parsed.is_array()) throw std::invalid_argument("query_vector must be a JSON array");
    json values = json::array();
    for (const json& element : parsed) {
        const std::invalid_argument bad("query vector should consist of decimal numbers");
        if (!element.is_string()) throw bad;
        double value = 0;
        try {
            value = std::stod(element.get<std::string>());
        } catch (const std::logic_error&) {
            throw bad;
        }
        if (!std::isfinite(value)) throw bad;
        values.push_back(value);
    }
    return values;
}

void build_filter(OptionMap& options, json& request) {
    json filter = json::object();
    bool wanted = false;
    std::string text;
    if (take_option(options, "filter_attribute", text)) {
        filter["attribute"] = text;
        wanted = true;
    }
    if (take_option(options, "filter_type", text)) {
        filter["type"] = text;
        wanted = true;
        if (text == "equality") {
            std::string targets;
            if (!take_option(options, "target_value", targets))
                throw std::invalid_argument("target_value argument not found");
            filter["target_values"] = parse_json(targets);
        } else if (text == "range") {
            std::string start, end;
            const bool has_start = take_option(options, "start_value", start);
            const bool has_end = take_option(options, "end_value", end);
            if (!has_start || !has_end)
                throw std::invalid_argument("start_value or end_value argument not found");
            filter["start_value"] = start;
            filter["end_value"] = end;
        } else {
            throw std::invalid_argument("Invalid filter type, valid types are equality or range");
        }
    }
    if (wanted) request["filter"] = std::move(filter);
}

void build_query(const std::string& query_type, OptionMap& options, json& request) {
    std::string text;
    if (query_type == "vector") {
        if (!take_option(options, "query_vector", text))
            throw std::invalid_argument("query_vector argument not found");
        request["query_vector"] = parse_query_vector(text);
    } else if (query_type == "row") {
        if (!take_option(options, "row_number", text))
            throw std::invalid_argument("row_number argument not found");
        request["row_number"] = parse_row_number(text);
    } else if (query_type == "file") {
        if (!options.count("file_path") || !options.count("file_type"))
            throw std::invalid_argument("file_path or file_type argument not found");
        std::string path, format;
        take_option(options, "file_path", path);
        take_option(options, "file_type", format);
        request["file_data"] = base64_encode(readFileContents(path));
        request["dataset_name"] = path;
        request["file_format"] = format;
    } else if (query_type == "dataset") {
        if (!take_option(options, "dataset_name", text))
            throw std::invalid_argument("dataset_name argument not found");
        request["query_dataset_name"] = text;
    } else {
        throw std::invalid_argument(
            "Query type is invalid, valid types are vector, row, file, or dataset.");
    }
}

// A member a result or match lacks (or any member of a non-object) shows as null.
json member(const json& value, const char* key) {
    if (value.is_object()) {
        auto it = value.find(key);
        if (it != value.end()) return *it;
    }
    return nullptr;
}

void print_line(const std::string& text) { write_line(std::cout, Colour::none, text); }

// An absolute distance as a 32-bit float, in the stream's default form. A
// boolean counts as 0 or 1; anything else that is not a number throws.
std::string similarity_text(const json& distance) {
    const double value =
        distance.is_boolean() ? (distance.get<bool>() ? 1.0 : 0.0) : std::fabs(distance.get<double>());
    const float narrowed = value > FLT_MAX ? INFINITY : static_cast<float>(value);
    std::ostringstream out;
    out << narrowed;
    return out.str();
}

bool print_answer(const net::Response& response) {
    const json answer = parse_json(response.text);
    const json results = member(answer, "results");
    if (!results.is_array()) {
        print_error("Server returned incorrect response format");
        return false;
    }
    const bool per_query = !results.empty() && !member(results.front(), "matches").is_null();
    if (per_query) {
        print_success("Search successful, found " + std::to_string(results.size()) +
                      " search results");
        for (const json& result : results) {
            print_border();
            write_line(std::cout, Colour::green,
                       "Query vector: " + member(result, "query_vector_id").dump());
            print_border();
            const json matches = member(result, "matches");
            if (matches.is_null()) continue;
            if (!matches.is_array()) {
                print_error("Server returned incorrect response format");
                return false;
            }
            for (const json& match : matches) {
                print_line("Distance: " + member(match, "distance").dump());
                print_line("ID: " + member(match, "idx").dump());
                print_border();
            }
        }
    } else {
        print_success("Search successful, retrieved top-" + std::to_string(results.size()) +
                      " vectors");
        for (const json& match : results) {
            print_border();
            // Written before the distance is read: a bad match ends this line
            // with the catch line.
            std::cout << "Distance/Similarity: " << std::flush;
            print_line(similarity_text(match.at("distance")));
            print_line("ID: " + member(match, "idx").dump());
        }
    }
    return true;
}

}  // namespace

bool handle_search(const std::string& project, const std::string& dataset,
                   const std::string& index, const std::string& query_type,
                   OptionMap options) {
    ServiceCall call;
    call.announcement = "Searching... collection_name, index_name, and query_type: " + dataset +
                        " " + index + " " + query_type + "...";
    call.path = "/search";
    call.failure_phrase = "Search failed! Status: ";
    call.catch_prefix = "Error in handle_search: ";
    call.build = [&](json& request) {
        request["project_name"] = project;
        request["collection_name"] = dataset;
        request["query_type"] = query_type;
        request["index_name"] = index;
        std::string text;
        if (take_option(options, "top_k", text))
            request["top_k"] = to_int(text, "argument -top_k should be an integer");
        build_filter(options, request);
        build_query(query_type, options, request);
        if (!options.empty()) {
            for (const auto& entry : options) print_error("Invalid argument: " + entry.first);
            throw CallStopped();
        }
    };
    call.on_success = print_answer;
    return run_service_call(call);
}

}  // namespace rest_client
