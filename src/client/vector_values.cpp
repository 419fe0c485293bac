#include "client/vector_values.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "client/service_call.h"

namespace rest_client {

float vector_value(const std::string& word) {
    const float value = std::stof(word);
    // stof takes "nan" and "inf"; the JSON writer would send them as null.
    if (!std::isfinite(value)) throw std::invalid_argument("not a finite number");
    return value;
}

json dense_vector(const std::vector<std::string>& words) {
    json values = json::array();
    try {
        for (const auto& word : words) values.push_back(static_cast<double>(vector_value(word)));
    } catch (const std::exception&) {
        throw std::invalid_argument("Elements inside the vector should be a number");
    }
    return values;
}

namespace {

// An index text by the std::stoi rules, refusing a minus sign: the service
// takes unsigned indexes, and -1 would otherwise wrap to 4294967295.
uint32_t sparse_index(const std::string& key) {
    const int index = std::stoi(key);
    const auto first = key.find_first_not_of(" \t\n\v\f\r");
    if (index < 0 || (first != std::string::npos && key[first] == '-'))
        throw std::invalid_argument("negative index");
    return static_cast<uint32_t>(index);
}

}  // namespace

json sparse_vector(const std::string& text) {
    const json parsed = parse_json(text);
    json pairs = json::array();
    try {
        for (const auto& item : parsed.items()) {
            const uint32_t index = sparse_index(item.key());
            if (!item.value().is_string()) throw std::invalid_argument("value is not a string");
            const float value = vector_value(item.value().get<std::string>());
            pairs.push_back(json::array({index, static_cast<double>(value)}));
        }
    } catch (const std::exception&) {
        throw std::invalid_argument("Invalid values for vector");
    }
    return pairs;
}

}  // namespace rest_client
