// Vector values of the insert commands: words typed by the user become
// 32-bit floats, sent as JSON numbers that hold the float widened to a
// double (0.1 goes out as 0.10000000149011612). The search converts its
// query vector differently (64-bit doubles) and does not use these.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace rest_client {

// One dense value word by the std::stof rules (leading blanks skipped, text
// after the number ignored, overflow and underflow refused). NaN and
// infinity are refused too: JSON cannot carry them. Throws on any failure.
float vector_value(const std::string& word);

// The value words of one dense vector as a JSON array. Any failure throws
// std::invalid_argument("Elements inside the vector should be a number").
nlohmann::json dense_vector(const std::vector<std::string>& words);

// A sparse vector text (a JSON object of index texts to value strings) as a
// JSON array of [index, value] pairs, walked in the parsed value's order. A
// text that is not JSON throws the JSON library's parse error; any other
// failure, a negative index included, throws
// std::invalid_argument("Invalid values for vector").
nlohmann::json sparse_vector(const std::string& text);

}  // namespace rest_client
