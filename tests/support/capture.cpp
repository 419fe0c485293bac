#include "support/capture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <sstream>

namespace test_support {

Output capture(const std::function<void()>& body) {
    std::cout.flush();
    std::cerr.flush();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    body();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    Output o;
    o.err = testing::internal::GetCapturedStderr();
    o.out = testing::internal::GetCapturedStdout();
    return o;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

std::string green(const std::string& m) { return "\033[32m[SUCCESS] " + m + "\033[0m\n"; }
std::string yellow(const std::string& m) { return "\033[33m[WARNING]" + m + "\033[0m\n"; }
std::string red(const std::string& m) { return "\033[31m[ERROR] " + m + "\033[0m\n"; }
std::string info(const std::string& m) { return "[INFO] " + m + "\n"; }

}  // namespace test_support
