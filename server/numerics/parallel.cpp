#include "numerics/parallel.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace veldra::engine::num {
namespace {

// Never destroyed: its workers wait for work until the process exits.
class Pool {
public:
    // Runs part(i) for i in [0, parts), part 0 on the caller.  False (nothing
    // run) when another loop has the pool.
    bool run(unsigned parts, const std::function<void(unsigned)>& part) {
        std::unique_lock<std::mutex> busy(busy_, std::try_to_lock);
        if (!busy.owns_lock()) return false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            grow(parts - 1);
            part_ = &part;
            next_ = 1;
            parts_ = parts;
            pending_ = parts - 1;
            error_ = nullptr;
            ++generation_;
        }
        wake_.notify_all();
        std::exception_ptr mine;
        try {
            part(0);
        } catch (...) {
            mine = std::current_exception();
        }
        std::unique_lock<std::mutex> lock(mutex_);
        drain(lock);  // what no worker has taken yet (or none could be started)
        done_.wait(lock, [&] { return pending_ == 0; });
        part_ = nullptr;
        const std::exception_ptr error = mine ? mine : error_;
        lock.unlock();
        if (error) std::rethrow_exception(error);
        return true;
    }

private:
    // Called with mutex_ held.  Workers take no signals: the engine takes
    // them from a signalfd on its main thread.
    void grow(unsigned workers) {
        if (workers_ >= workers) return;
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &old);
        try {
            for (; workers_ < workers; ++workers_) std::thread([this, g = generation_] { work(g); }).detach();
        } catch (...) {
            // No more threads: the loops run on those there are.
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }

    // `seen`: the loop last handed out before this worker was started.
    void work(unsigned long seen) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return generation_ != seen && next_ < parts_; });
            seen = generation_;
            drain(lock);
        }
    }

    // Runs the parts not yet taken; called with mutex_ held through `lock`.
    void drain(std::unique_lock<std::mutex>& lock) {
        while (next_ < parts_) {
            const unsigned i = next_++;
            const std::function<void(unsigned)>* part = part_;
            lock.unlock();
            std::exception_ptr error;
            try {
                (*part)(i);
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            if (error && !error_) error_ = error;
            if (--pending_ == 0) done_.notify_one();
        }
    }

    std::mutex busy_;  // one loop at a time
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    unsigned workers_ = 0;
    const std::function<void(unsigned)>* part_ = nullptr;
    unsigned next_ = 0, parts_ = 0, pending_ = 0;
    unsigned long generation_ = 0;
    std::exception_ptr error_;
};

Pool& pool() {
    static Pool* p = new Pool;
    return *p;
}

}  // namespace

void parallelFor(unsigned threads, std::size_t n, std::size_t grain,
                 const std::function<void(std::size_t, std::size_t)>& fn) {
    grain = std::max<std::size_t>(grain, 1);
    const std::size_t parts = std::min<std::size_t>(threads, n / grain);
    if (parts > 1) {
        // Equal chunks, rounded to a multiple of 8 elements so that no two
        // chunks share a cache line of doubles.
        std::size_t chunk = (n + parts - 1) / parts;
        chunk = (chunk + 7) & ~std::size_t(7);
        const auto part = [&](unsigned i) {
            const std::size_t begin = std::min(n, i * chunk), end = std::min(n, begin + chunk);
            if (begin < end) fn(begin, end);
        };
        if (pool().run(static_cast<unsigned>(parts), part)) return;
    }
    fn(0, n);
}

}  // namespace veldra::engine::num
