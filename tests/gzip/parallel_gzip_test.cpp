// The parallel gzip compressor: one standard gzip stream (checked field by
// field and inflated by zlib) for inputs around the block size, the same
// bytes whatever the thread count and the cuts between writes, zlib's own
// stream up to one block, blocks primed with the window before them, and
// reset and teardown with blocks still in flight.
#include <gtest/gtest.h>
#include <sched.h>
#include <zlib.h>

#include <thread>

#include "gzip/parallel_gzip.h"
#include "client/handlers.h"
#include "client/helpers.h"
#include "client/rate_limiter.h"
#include "client/seams.h"
#include "client/state.h"
#include "fake/fake_service.h"
#include "client/upload/upload_testing.h"

using namespace gzip;
using upload_testing::pseudo_random_bytes;

namespace {

struct Gathered : ByteSink {
    std::vector<unsigned char> bytes;
    void write(const unsigned char* d, size_t n) override { bytes.insert(bytes.end(), d, d + n); }
};

struct Setup {
    size_t block_size = 131072;
    unsigned threads = 4;
    int level = -1;
};

// Compresses `data` written in pieces of `piece` bytes (0: in one write).
std::vector<unsigned char> compress(const std::string& data, const Setup& setup, size_t piece = 0) {
    Gathered out;
    ParallelGzipOptions options;
    options.block_size = setup.block_size;
    options.level = setup.level;
    options.pool = std::make_shared<WorkerPool>(setup.threads);
    ParallelGzip z(out, options);
    if (piece == 0) piece = std::max<size_t>(data.size(), 1);
    for (size_t at = 0; at < data.size(); at += piece)
        z.write(data.data() + at, std::min(piece, data.size() - at));
    z.finish();
    return out.bytes;
}

// Text-like bytes: random runs mixed with repeats at varying distances.
std::string sample(size_t n, uint32_t seed) {
    std::string s = pseudo_random_bytes(n, seed);
    for (size_t i = 0; i + 200 < n; i += 97) {
        const size_t back = 1 + (static_cast<unsigned char>(s[i]) * 131u) % std::min<size_t>(i + 1, 40000);
        if (back <= i) s.replace(i, 40, s.substr(i - back, 40));
    }
    return s;
}

uint32_t le32(const std::vector<unsigned char>& z, size_t at) {
    return uint32_t(z[at]) | uint32_t(z[at + 1]) << 8 | uint32_t(z[at + 2]) << 16 | uint32_t(z[at + 3]) << 24;
}

// Checks that `z` is exactly one gzip member as zlib writes it and returns
// what zlib's inflate makes of it.
std::string inflate_one_member(const std::vector<unsigned char>& z) {
    EXPECT_GE(z.size(), 20u);  // header, at least an empty final block, trailer
    if (z.size() < 20) return {};
    EXPECT_EQ(z[0], 0x1f);
    EXPECT_EQ(z[1], 0x8b);
    EXPECT_EQ(z[2], 8);              // deflate
    EXPECT_EQ(z[3], 0);              // no name, comment or extra field
    EXPECT_EQ(le32(z, 4), 0u);       // no time
    EXPECT_EQ(z[9], 3);              // Unix
    // The fake service's decoder: one member, ending exactly at the end, with
    // zlib checking the CRC and the length.
    bool ok = false;
    const std::string out = fake::gunzip(std::string(z.begin(), z.end()), &ok);
    EXPECT_TRUE(ok);
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(out.data()),
                            static_cast<uInt>(out.size()));
    EXPECT_EQ(le32(z, z.size() - 8), crc);
    EXPECT_EQ(le32(z, z.size() - 4), static_cast<uint32_t>(out.size()));
    return out;
}

}  // namespace

TEST(ParallelGzip, RoundTripsThroughInflateAroundTheBlockSize) {
    // A block smaller than the window (so the dictionary spans several
    // blocks) and the default block.
    for (size_t block : {size_t(4096), size_t(131072)}) {
        const size_t sizes[] = {0, 1, block - 1, block, block + 1, 2 * block, 37 * block + 123};
        for (size_t size : sizes) {
            const std::string data = sample(size, static_cast<uint32_t>(size + block));
            for (size_t piece : {size_t(0), size_t(1000)}) {
                std::vector<unsigned char> z = compress(data, {block, 4, -1}, piece);
                EXPECT_EQ(inflate_one_member(z), data) << block << "/" << size << "/" << piece;
            }
        }
    }
}

TEST(ParallelGzip, SameBytesWhateverTheThreadsAndTheCuts) {
    const std::string data = sample(1 << 20, 5);
    const std::vector<unsigned char> want = compress(data, {16384, 1, -1});
    for (unsigned threads : {1u, 2u, 7u})
        for (size_t piece : {size_t(0), size_t(1), size_t(333), size_t(16384), size_t(50000)})
            EXPECT_EQ(compress(data, {16384, threads, -1}, piece), want) << threads << "/" << piece;
}

TEST(ParallelGzip, UpToOneBlockTheStreamIsZlibsGzipAtEveryLevel) {
    for (int level : {-1, 0, 1, 5, 9})
        for (size_t size : {size_t(0), size_t(1), size_t(65536), size_t(131072)}) {
            const std::string data = sample(size, 9);
            const std::vector<unsigned char> zlib =
                rest_client::gzipCompress(std::vector<unsigned char>(data.begin(), data.end()), level);
            EXPECT_EQ(compress(data, {131072, 2, level}, 777), zlib) << level << "/" << size;
        }
    // Beyond one block the levels still give valid streams with zlib's header.
    const std::string big = sample(600000, 4);
    for (int level : {0, 1, 9}) {
        std::vector<unsigned char> z = compress(big, {65536, 3, level});
        EXPECT_EQ(inflate_one_member(z), big) << level;
        EXPECT_EQ(z[8], level == 9 ? 2 : level < 2 ? 4 : 0) << level;
    }
}

TEST(ParallelGzip, BlocksSeeTheWindowBeforeThem) {
    // 20 KiB of noise repeated: every repeat is a match into the window, even
    // across block boundaries, so the whole stays about as small as one
    // stream; blocks compressed alone would each hold the noise again.
    const std::string noise = pseudo_random_bytes(20000, 21);
    std::string data;
    while (data.size() < (2u << 20)) data += noise;
    const size_t single = rest_client::gzipCompress(std::vector<unsigned char>(data.begin(), data.end()), -1).size();
    for (size_t block : {size_t(4096), size_t(65536)}) {
        std::vector<unsigned char> z = compress(data, {block, 4, -1});
        EXPECT_EQ(inflate_one_member(z), data);
        // Each block adds its own code tables and a flush marker, nothing more.
        EXPECT_LT(z.size(), single + 32 * (data.size() / block + 1)) << block;
        EXPECT_LT(z.size(), data.size() / 20) << block;
    }
}

TEST(ParallelGzip, ResetAndFinishStartAFreshStream) {
    const std::string big = sample(3 << 20, 2);
    Gathered out;
    ParallelGzipOptions options;
    options.block_size = 8192;
    options.pool = std::make_shared<WorkerPool>(2);
    ParallelGzip z(out, options);
    z.write(big.data(), big.size());  // many blocks in flight
    z.reset();
    out.bytes.clear();
    z.write("abc", 3);
    z.finish();
    EXPECT_EQ(out.bytes, compress("abc", {8192, 1, -1}));
    out.bytes.clear();
    z.write(big.data(), big.size());
    z.finish();
    EXPECT_EQ(out.bytes, compress(big, {8192, 1, -1}));
    out.bytes.clear();
    z.finish();
    EXPECT_EQ(inflate_one_member(out.bytes), "");
}

TEST(ParallelGzip, DestroyedWithBlocksInFlight) {
    const std::string big = sample(4 << 20, 8);
    auto pool = std::make_shared<WorkerPool>(1);
    for (int i = 0; i < 3; ++i) {
        Gathered out;
        ParallelGzipOptions options;
        options.block_size = 4096;
        options.pool = pool;
        ParallelGzip z(out, options);
        z.write(big.data(), big.size());
    }
    // The pool is still sound afterwards.
    EXPECT_EQ(inflate_one_member(compress(big, {4096, 1, -1})), big);
}

TEST(ParallelGzip, ThreadsFollowTheCoresTheProcessMayUse) {
    const unsigned all = usable_cores();
    EXPECT_GE(all, 1u);
    if (std::thread::hardware_concurrency() > 0) {
        EXPECT_LE(all, std::thread::hardware_concurrency());
    }
    {
        auto a = WorkerPool::shared();
        auto b = WorkerPool::shared();
        EXPECT_EQ(a, b);
        EXPECT_EQ(a->size(), all);
        std::weak_ptr<WorkerPool> left = a;
        a.reset();
        b.reset();
        EXPECT_TRUE(left.expired());  // no threads outlive the compressors
    }
    // Bound to one CPU, the process gets one worker.
    cpu_set_t saved, one;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &saved)) {
            CPU_SET(cpu, &one);
            break;
        }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(usable_cores(), 1u);
    EXPECT_EQ(WorkerPool::shared()->size(), 1u);
    sched_setaffinity(0, sizeof saved, &saved);
}
