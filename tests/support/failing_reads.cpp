#include "support/failing_reads.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::atomic<bool> armed{false};
char target[PATH_MAX];
off_t fail_at = 0;

using ReadFunction = ssize_t (*)(int, void*, size_t);

ReadFunction real_read() {
    static ReadFunction fn = reinterpret_cast<ReadFunction>(dlsym(RTLD_NEXT, "read"));
    return fn;
}

bool is_target(int fd) {
    char link[64], path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 0) return false;
    path[n] = '\0';
    return std::strcmp(path, target) == 0;
}

}  // namespace

// Every read(2) of the process comes through here: the C++ streams call it
// from the shared library, which finds this definition first.
extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    if (armed.load() && is_target(fd)) {
        const off_t at = lseek(fd, 0, SEEK_CUR);
        if (at >= fail_at) {
            errno = EIO;
            return -1;
        }
        if (at + static_cast<off_t>(count) > fail_at) count = static_cast<size_t>(fail_at - at);
    }
    return real_read()(fd, buffer, count);
}

namespace test_support {

FailingReads::FailingReads(const std::string& path, off_t offset) {
    char* resolved = realpath(path.c_str(), nullptr);
    std::strncpy(target, resolved ? resolved : path.c_str(), sizeof target - 1);
    std::free(resolved);
    fail_at = offset;
    armed.store(true);
}

FailingReads::~FailingReads() { armed.store(false); }

}  // namespace test_support
