#include "ThreadPool.h"

#include <chrono>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace pictra {

namespace {

// A run calls parallelFor many times in a row (a plane's copies, then its
// bands, then the next plane's), with little between. Waking a sleeping
// thread costs tens of microseconds on a virtual machine, as much as a
// short band, so a thread that runs out of work watches for more for a
// while before it sleeps.
constexpr auto kSpinBeforeSleeping = std::chrono::microseconds(200);

template <class Ready>
void SpinUntil(const Ready& ready)
{
    const auto until = std::chrono::steady_clock::now() + kSpinBeforeSleeping;
    do {
        for (int i = 0; i < 64; ++i) {
            if (ready())
                return;
#if defined(__x86_64__)
            _mm_pause();
#endif
        }
    } while (std::chrono::steady_clock::now() < until);
}

}  // namespace

ThreadPool::ThreadPool(int threads)
{
    for (int i = 1; i < threads; ++i)
        workers_.emplace_back([this] { work(); });
}

ThreadPool::~ThreadPool()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
}

void ThreadPool::parallelFor(int count, const std::function<void(int)>& job)
{
    if (count <= 0)
        return;
    if (workers_.empty() || count == 1) {
        for (int i = 0; i < count; ++i)
            job(i);
        return;
    }
    std::unique_lock lock(mutex_);
    job_ = &job;
    count_ = count;
    next_ = 0;
    finished_.store(0, std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
    if (sleepers_ > 0)
        wake_.notify_all();
    while (next_ < count_) {
        const int index = next_++;
        lock.unlock();
        job(index);
        lock.lock();
        finished_.fetch_add(1, std::memory_order_relaxed);
    }
    if (finished_.load(std::memory_order_relaxed) != count_) {
        lock.unlock();
        SpinUntil([&] { return finished_.load(std::memory_order_acquire) == count; });
        lock.lock();
        done_.wait(lock, [&] { return finished_.load(std::memory_order_relaxed) == count_; });
    }
    job_ = nullptr;
}

void ThreadPool::work()
{
    uint64_t seen = 0;
    for (;;) {
        SpinUntil([&] { return generation_.load(std::memory_order_acquire) != seen; });
        std::unique_lock lock(mutex_);
        ++sleepers_;
        wake_.wait(lock, [&] { return stopping_ || (generation_.load(std::memory_order_relaxed) != seen && job_); });
        --sleepers_;
        if (stopping_)
            return;
        seen = generation_.load(std::memory_order_relaxed);
        while (next_ < count_) {
            const int index = next_++;
            const std::function<void(int)>* job = job_;
            lock.unlock();
            (*job)(index);
            lock.lock();
            if (finished_.fetch_add(1, std::memory_order_release) + 1 == count_)
                done_.notify_all();
        }
    }
}

}  // namespace pictra
