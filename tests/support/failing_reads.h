// Makes reads of one file fail, in this process, as a failing disk would:
// every read(2) of the file from the given offset on returns EIO (a read
// that spans the offset returns the bytes before it first).
#pragma once

#include <sys/types.h>

#include <string>

namespace test_support {

class FailingReads {
public:
    FailingReads(const std::string& path, off_t offset);
    ~FailingReads();
    FailingReads(const FailingReads&) = delete;
    FailingReads& operator=(const FailingReads&) = delete;
};

}  // namespace test_support
