// A fixed set of workers for the band iterator. parallelFor hands out
// indices from a shared counter; the calling thread works too, so a pool of
// n threads runs n jobs at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace pictra {

class ThreadPool {
public:
    // `threads` workers in all, the calling thread included.
    explicit ThreadPool(int threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    int threads() const { return int(workers_.size()) + 1; }
    // Calls job(i) for every i in [0, count) and returns when all are done.
    void parallelFor(int count, const std::function<void(int)>& job);

private:
    void work();

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    // Guarded by mutex_; generation_ and finished_ are also watched without it.
    const std::function<void(int)>* job_ = nullptr;
    int count_ = 0;
    int next_ = 0;
    std::atomic<int> finished_{0};
    std::atomic<uint64_t> generation_{0};
    int sleepers_ = 0;
    bool stopping_ = false;
};

}  // namespace pictra
