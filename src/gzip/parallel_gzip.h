// A gzip compressor that uses every core and still writes one standard gzip
// stream: the input is cut into blocks of a fixed size, each block is deflated
// on a worker thread with the 32 KiB before it as its dictionary and ends at a
// byte boundary (a sync flush), and the blocks are joined in order under one
// header and one trailer whose CRC is combined from the blocks' CRCs. The
// output depends only on the input bytes, the level and the block size,
// never on the number of threads or on how the input was cut into writes.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

#include "gzip/compressor.h"
#include "gzip/worker_pool.h"

namespace gzip {

struct ParallelGzipOptions {
    int level = -1;                   // zlib's levels; -1 is its default (6)
    size_t block_size = 128 * 1024;   // input bytes per independently deflated block (at most 1 GiB)
    std::shared_ptr<WorkerPool> pool; // null: the shared pool
};

class ParallelGzip : public Compressor {
public:
    explicit ParallelGzip(ByteSink& sink, ParallelGzipOptions options = {});
    ~ParallelGzip() override;
    ParallelGzip(const ParallelGzip&) = delete;
    ParallelGzip& operator=(const ParallelGzip&) = delete;

    void write(const char* data, size_t size) override;
    void finish() override;
    void reset() override;

private:
    struct Block;

    void submit(bool last);
    std::unique_ptr<Block> fresh_block();
    // Hands finished blocks to the sink in order; with `all`, waits for every
    // block, else waits only while too many are in flight.
    void drain(bool all);
    void emit(Block& block);
    void wait_for(const Block& block);
    void abandon_in_flight() noexcept;

    ByteSink& sink_;
    int level_;
    size_t block_size_;
    std::shared_ptr<WorkerPool> pool_;
    size_t max_in_flight_;

    std::unique_ptr<Block> current_;
    std::deque<std::unique_ptr<Block>> in_flight_;
    std::vector<std::unique_ptr<Block>> spare_;
    bool submitted_any_ = false;  // a block of this stream has gone to the pool
    bool header_written_ = false;
    unsigned long crc_ = 0;
    unsigned long long length_ = 0;
};


}  // namespace gzip
