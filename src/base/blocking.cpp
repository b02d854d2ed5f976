#include "base/blocking.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace korvane {

namespace {

// A small fixed pool. It is never destroyed: a body still running at exit must not hold
// up the process, and the pool stays reachable so leak checkers do not flag it.
class WorkPool {
public:
    explicit WorkPool(unsigned threads) {
        for (unsigned i = 0; i < threads; ++i) {
            std::thread([this] { loop(); }).detach();
        }
    }

    void submit(std::function<void()> work) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(work));
        }
        ready_.notify_one();
    }

private:
    void loop() {
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return !queue_.empty(); });
                work = std::move(queue_.front());
                queue_.pop_front();
            }
            work();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> queue_;
};

WorkPool& pool() {
    static auto* instance = new WorkPool(4);
    return *instance;
}

} // namespace

void submitToWorkPool(std::function<void()> work) { pool().submit(std::move(work)); }

} // namespace korvane
