#include "gzip/parallel_gzip.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <exception>
#include <stdexcept>

namespace gzip {

namespace {

constexpr size_t kWindow = 32768;  // deflate's window: what a block may refer back to

// One raw deflate stream per thread, made again when another level is asked for.
class ThreadDeflate {
public:
    ThreadDeflate() = default;
    ~ThreadDeflate() {
        if (ready_) deflateEnd(&zs_);
    }
    ThreadDeflate(const ThreadDeflate&) = delete;
    ThreadDeflate& operator=(const ThreadDeflate&) = delete;

    z_stream& get(int level) {
        if (ready_ && level_ != level) {
            deflateEnd(&zs_);
            ready_ = false;
        }
        if (!ready_) {
            zs_ = z_stream{};
            if (deflateInit2(&zs_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
                throw std::runtime_error("deflateInit2 failed");
            ready_ = true;
            level_ = level;
        } else if (deflateReset(&zs_) != Z_OK) {
            throw std::runtime_error("Exception during zlib compression");
        }
        return zs_;
    }

private:
    z_stream zs_{};
    bool ready_ = false;
    int level_ = INT_MIN;
};

}  // namespace

// ---- blocks -------------------------------------------------------------------------------

struct ParallelGzip::Block {
    std::vector<unsigned char> in;  // the dictionary, then the block's own bytes
    size_t dictionary = 0;
    bool last = false;
    std::vector<unsigned char> out;
    size_t out_size = 0;
    unsigned long crc = 0;
    std::atomic<bool> done{false};
    std::exception_ptr error;

    size_t length() const { return in.size() - dictionary; }

    void clear() {
        in.clear();
        dictionary = 0;
        last = false;
        out_size = 0;
        crc = 0;
        done.store(false, std::memory_order_relaxed);
        error = nullptr;
    }

    // Deflates the block's own bytes, primed with the dictionary, and ends on
    // a byte boundary (the last block ends the deflate stream instead).
    void compress(int level) {
        static thread_local ThreadDeflate stream;
        z_stream& zs = stream.get(level);
        if (dictionary > 0 &&
            deflateSetDictionary(&zs, in.data(), static_cast<uInt>(dictionary)) != Z_OK)
            throw std::runtime_error("Exception during zlib compression");
        const size_t n = length();
        const size_t bound = deflateBound(&zs, static_cast<uLong>(n)) + 64;
        if (out.size() < bound) out.resize(bound);
        zs.next_in = in.data() + dictionary;
        zs.avail_in = static_cast<uInt>(n);
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
        const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
        for (;;) {
            const int rc = deflate(&zs, flush);
            if (rc == Z_STREAM_ERROR) throw std::runtime_error("Exception during zlib compression");
            if (last ? rc == Z_STREAM_END : zs.avail_out != 0) break;
            if (zs.avail_out == 0) {  // never with the bound above, but stay correct
                const size_t used = out.size();
                out.resize(used * 2);
                zs.next_out = out.data() + used;
                zs.avail_out = static_cast<uInt>(out.size() - used);
            }
        }
        out_size = out.size() - zs.avail_out;
        crc = crc32(crc32(0L, Z_NULL, 0), in.data() + dictionary, static_cast<uInt>(n));
    }

    // Runs on a worker; never throws there.
    void run(int level) noexcept {
        try {
            compress(level);
        } catch (...) {
            error = std::current_exception();
        }
        done.store(true, std::memory_order_release);
    }
};

// ---- the compressor ---------------------------------------------------------------------------

ParallelGzip::ParallelGzip(ByteSink& sink, ParallelGzipOptions options)
    : sink_(sink),
      level_(options.level),
      // One deflate call takes the whole block, so it stays far below 4 GiB.
      block_size_(std::clamp<size_t>(options.block_size, 1, size_t(1) << 30)),
      pool_(options.pool ? std::move(options.pool) : WorkerPool::shared()),
      // Enough to keep every worker busy while the next blocks are read.
      max_in_flight_(2 * static_cast<size_t>(pool_->size()) + 2) {
    current_ = fresh_block();
}

ParallelGzip::~ParallelGzip() { abandon_in_flight(); }

std::unique_ptr<ParallelGzip::Block> ParallelGzip::fresh_block() {
    std::unique_ptr<Block> block;
    if (!spare_.empty()) {
        block = std::move(spare_.back());
        spare_.pop_back();
        block->clear();
    } else {
        block = std::make_unique<Block>();
        block->in.reserve(kWindow + block_size_);
    }
    return block;
}

void ParallelGzip::write(const char* data, size_t size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    while (size > 0) {
        const size_t room = block_size_ - current_->length();
        if (room == 0) {
            // Sent only now that more input follows, so the last block is
            // never an empty one.
            submit(false);
            continue;
        }
        const size_t n = std::min(room, size);
        current_->in.insert(current_->in.end(), bytes, bytes + n);
        bytes += n;
        size -= n;
    }
}

void ParallelGzip::submit(bool last) {
    std::unique_ptr<Block> next = fresh_block();
    if (!last) {
        // The next block is primed with the 32 KiB of input before it, which
        // always lie at the end of this block's buffer (dictionary included).
        const size_t keep = std::min(kWindow, current_->in.size());
        next->in.assign(current_->in.end() - static_cast<std::ptrdiff_t>(keep), current_->in.end());
        next->dictionary = keep;
    }

    Block* block = current_.get();
    block->last = last;
    in_flight_.push_back(std::move(current_));
    current_ = std::move(next);
    submitted_any_ = true;
    try {
        pool_->run([block, level = level_] { block->run(level); });
    } catch (...) {
        block->error = std::current_exception();
        block->done.store(true, std::memory_order_release);
        throw;
    }
    drain(false);
}

void ParallelGzip::wait_for(const Block& block) {
    pool_->wait_until([&block] { return block.done.load(std::memory_order_acquire); });
}

void ParallelGzip::drain(bool all) {
    while (!in_flight_.empty()) {
        Block& front = *in_flight_.front();
        if (!front.done.load(std::memory_order_acquire)) {
            if (!all && in_flight_.size() < max_in_flight_) return;
            wait_for(front);
        }
        std::unique_ptr<Block> block = std::move(in_flight_.front());
        in_flight_.pop_front();
        emit(*block);
        if (spare_.size() <= max_in_flight_) spare_.push_back(std::move(block));
    }
}

void ParallelGzip::emit(Block& block) {
    if (block.error) std::rethrow_exception(block.error);
    if (!header_written_) {
        // What zlib writes: no name, no time, the level's hint, Unix.
        const unsigned char hint = level_ == 9 ? 2 : (level_ >= 0 && level_ < 2) ? 4 : 0;
        const unsigned char header[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, hint, 3};
        sink_.write(header, sizeof header);
        header_written_ = true;
    }
    if (block.out_size > 0) sink_.write(block.out.data(), block.out_size);
    crc_ = crc32_combine(crc_, block.crc, static_cast<z_off_t>(block.length()));
    length_ += block.length();
    if (block.last) {
        unsigned char trailer[8];
        for (int i = 0; i < 4; ++i) {
            trailer[i] = static_cast<unsigned char>((crc_ >> (8 * i)) & 0xff);
            trailer[4 + i] = static_cast<unsigned char>((length_ >> (8 * i)) & 0xff);
        }
        sink_.write(trailer, sizeof trailer);
    }
}

void ParallelGzip::finish() {
    if (!submitted_any_) {
        // The whole stream is one block: no need to hand it to a thread.
        current_->last = true;
        current_->compress(level_);
        emit(*current_);
    } else {
        submit(true);
        drain(true);
    }
    reset();
}

void ParallelGzip::reset() {
    abandon_in_flight();
    current_->clear();
    submitted_any_ = false;
    header_written_ = false;
    crc_ = crc32(0L, Z_NULL, 0);
    length_ = 0;
}

void ParallelGzip::abandon_in_flight() noexcept { pool_->settle(in_flight_); }

}  // namespace gzip
