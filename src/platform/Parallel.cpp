#include "platform/Parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace vellicor {

namespace {

// Below this many bytes a range is not worth a wake-up of another thread.
constexpr int64_t kMinBytesPerPart = 256 * 1024;
constexpr int kMaxThreads = 8;

class Pool {
public:
    ~Pool() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        for (auto& t : threads_) t.join();
    }

    int Threads() {
        std::lock_guard lock(mutex_);
        return threadLimit_ > 0 ? threadLimit_ : DefaultThreads();
    }
    void SetThreads(int n) {
        std::lock_guard lock(mutex_);
        threadLimit_ = std::clamp(n, 0, kMaxThreads);
    }

    void Run(int n, int parts, const std::function<void(int, int, int)>& fn) {
        std::unique_lock lock(mutex_);
        if (busy_ || parts <= 1) {
            // Already sharing out another operation (a nested call): the caller does it all.
            lock.unlock();
            for (int p = 0; p < parts; ++p) fn(p, Begin(n, parts, p), Begin(n, parts, p + 1));
            return;
        }
        busy_ = true;
        StartThreads(parts - 1);
        job_ = &fn;
        n_ = n;
        parts_ = parts;
        next_.store(0);
        done_ = 0;
        ++generation_;
        lock.unlock();
        wake_.notify_all();
        Work(fn, n, parts);
        lock.lock();
        // Every thread that joined this job has left it before the job's state is reused.
        finished_.wait(lock, [&] { return done_ == parts_ && active_ == 0; });
        job_ = nullptr;
        busy_ = false;
    }

private:
    static int DefaultThreads() {
        const unsigned hw = std::thread::hardware_concurrency();
        return std::clamp(int(hw), 1, kMaxThreads);
    }
    static int Begin(int n, int parts, int p) { return int(int64_t(n) * p / parts); }

    // Takes ranges until none is left; counts each one done.
    void Work(const std::function<void(int, int, int)>& fn, int n, int parts) {
        for (;;) {
            const int p = next_.fetch_add(1);
            if (p >= parts) return;
            fn(p, Begin(n, parts, p), Begin(n, parts, p + 1));
            std::lock_guard lock(mutex_);
            if (++done_ == parts) finished_.notify_all();
        }
    }

    void StartThreads(int wanted) {
        while (int(threads_.size()) < std::min(wanted, kMaxThreads - 1))
            threads_.emplace_back([this] { Loop(); });
    }

    void Loop() {
        uint64_t seen = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stop_ || (generation_ != seen && job_); });
            if (stop_) return;
            seen = generation_;
            const auto* fn = job_;
            const int n = n_, parts = parts_;
            ++active_;
            lock.unlock();
            Work(*fn, n, parts);
            lock.lock();
            if (--active_ == 0) finished_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::vector<std::thread> threads_;
    const std::function<void(int, int, int)>* job_ = nullptr;
    int n_ = 0, parts_ = 0, done_ = 0, active_ = 0, threadLimit_ = 0;
    std::atomic<int> next_{0};
    uint64_t generation_ = 0;
    bool busy_ = false, stop_ = false;
};

Pool& ThePool() {
    static Pool pool;
    return pool;
}

}  // namespace

int ParallelParts(int n, int64_t itemCost) {
    if (n <= 1) return 1;
    const int64_t total = int64_t(n) * std::max<int64_t>(itemCost, 1);
    const int64_t byWork = std::max<int64_t>(1, total / kMinBytesPerPart);
    return int(std::min<int64_t>({int64_t(ParallelThreads()), byWork, int64_t(n)}));
}

int ParallelBlockRows(int n, int parts, int64_t itemCost) {
    constexpr int64_t kBlockCostPerPart = 4 << 20;
    const int64_t rows = kBlockCostPerPart / std::max<int64_t>(itemCost, 1) * std::max(parts, 1);
    return int(std::clamp<int64_t>(rows, 1, std::max(n, 1)));
}

void ParallelFor(int n, int parts, const std::function<void(int, int, int)>& fn) {
    if (n <= 0) return;
    parts = std::clamp(parts, 1, n);
    ThePool().Run(n, parts, fn);
}

void SetParallelThreads(int threads) { ThePool().SetThreads(threads); }
int ParallelThreads() { return ThePool().Threads(); }

}  // namespace vellicor
