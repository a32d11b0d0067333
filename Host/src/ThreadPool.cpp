#include "ThreadPool.h"

namespace pictra {

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
    finished_ = 0;
    ++generation_;
    wake_.notify_all();
    while (next_ < count_) {
        const int index = next_++;
        lock.unlock();
        job(index);
        lock.lock();
        ++finished_;
    }
    done_.wait(lock, [this] { return finished_ == count_; });
    job_ = nullptr;
}

void ThreadPool::work()
{
    uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || (generation_ != seen && job_ && next_ < count_); });
        if (stopping_)
            return;
        seen = generation_;
        while (job_ && next_ < count_) {
            const int index = next_++;
            const std::function<void(int)>* job = job_;
            lock.unlock();
            (*job)(index);
            lock.lock();
            if (++finished_ == count_)
                done_.notify_all();
        }
    }
}

}  // namespace pictra
