// A fixed set of worker threads, shared by everything that compresses or
// converts data in parallel.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace gzip {

// The cores this process may run on: std::thread::hardware_concurrency(),
// or fewer when the process is bound to fewer CPUs; at least 1.
unsigned usable_cores();

// Runs tasks in the order they were queued.
class WorkerPool {
public:
    explicit WorkerPool(unsigned threads);
    ~WorkerPool();  // runs what is queued, then joins
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    unsigned size() const { return static_cast<unsigned>(threads_.size()); }
    void run(std::function<void()> task);
    // Blocks until `done` holds; it is checked again whenever a task ends.
    void wait_until(const std::function<bool()>& done);

    // Waits until every job's `done` flag is set, then drops the jobs. Should
    // the wait itself fail (only a broken mutex could make it), the jobs are
    // leaked rather than freed under a running worker.
    template <class Jobs>
    void settle(Jobs& jobs) noexcept {
        try {
            wait_until([&jobs] {
                for (const auto& job : jobs)
                    if (!job->done.load(std::memory_order_acquire)) return false;
                return true;
            });
        } catch (...) {
            for (auto& job : jobs) static_cast<void>(job.release());
        }
        jobs.clear();
    }

    // One pool of usable_cores() threads for every user alive at the time;
    // it goes away with the last of them.
    static std::shared_ptr<WorkerPool> shared();

private:
    void work();

    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable finished_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace gzip
