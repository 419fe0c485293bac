// A statement's options as the handlers receive them. Each handler takes out
// every key it uses and reports any key left over.
#pragma once

#include <string>
#include <unordered_map>

namespace rest_client {

// Option name to option text.
using OptionMap = std::unordered_map<std::string, std::string>;

// Moves an option's text out of the map; false when it is not there.
inline bool take_option(OptionMap& options, const std::string& key, std::string& text) {
    auto it = options.find(key);
    if (it == options.end()) return false;
    text = std::move(it->second);
    options.erase(it);
    return true;
}

}  // namespace rest_client
