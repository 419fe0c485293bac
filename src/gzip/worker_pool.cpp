#include "gzip/worker_pool.h"

#include <sched.h>

#include <algorithm>

namespace gzip {

unsigned usable_cores() {
    unsigned n = std::thread::hardware_concurrency();
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int bound = CPU_COUNT(&set);
        if (bound > 0 && (n == 0 || static_cast<unsigned>(bound) < n)) n = static_cast<unsigned>(bound);
    }
    return std::max(n, 1u);
}

WorkerPool::WorkerPool(unsigned threads) {
    threads = std::max(threads, 1u);
    threads_.reserve(threads);
    try {
        for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        queued_.notify_all();
        for (auto& t : threads_) t.join();
        throw;
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_all();
    for (auto& t : threads_) t.join();
}

void WorkerPool::run(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    queued_.notify_one();
}

void WorkerPool::wait_until(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    finished_.wait(lock, done);
}

void WorkerPool::work() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            queued_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
        // Taking the lock orders the task's results before the waiter's check.
        { std::lock_guard<std::mutex> lock(mutex_); }
        finished_.notify_all();
    }
}

std::shared_ptr<WorkerPool> WorkerPool::shared() {
    static std::mutex mutex;
    static std::weak_ptr<WorkerPool> current;
    std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<WorkerPool> pool = current.lock();
    if (!pool) {
        pool = std::make_shared<WorkerPool>(usable_cores());
        current = pool;
    }
    return pool;
}

}  // namespace gzip
