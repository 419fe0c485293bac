// Runs a piece of code with standard output and standard error captured.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace test_support {

struct Output {
    std::string out;
    std::string err;
};

Output capture(const std::function<void()>& body);

// Splits a text into lines (without the newlines).
std::vector<std::string> lines(const std::string& text);

// The exact bytes of the client's console lines.
std::string green(const std::string& m);   // "[SUCCESS] " line
std::string yellow(const std::string& m);  // "[WARNING]" line
std::string red(const std::string& m);     // "[ERROR] " line
std::string info(const std::string& m);    // "[INFO] " line (standard error)

}  // namespace test_support
