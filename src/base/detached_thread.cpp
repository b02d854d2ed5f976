#include "base/detached_thread.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace korvane {

namespace {

// Never destroyed: a thread may still report its end after the exit's wait has given up.
class DetachedThreads {
public:
    static DetachedThreads& instance() {
        static DetachedThreads* threads = [] {
            auto* created = new DetachedThreads;
            std::atexit([] { instance().awaitEnd(std::chrono::milliseconds(500)); });
            return created;
        }();
        return *threads;
    }

    void started() {
        std::lock_guard lock(mutex_);
        ++running_;
    }

    void ended() {
        std::lock_guard lock(mutex_);
        --running_;
        changed_.notify_all();
    }

    void awaitEnd(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, limit, [this] { return running_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int running_ = 0;
};

} // namespace

void startDetachedThread(std::function<void()> body) {
    auto& threads = DetachedThreads::instance();
    threads.started();
    try {
        std::thread([&threads, body = std::move(body)] {
            body();
            threads.ended();
        }).detach();
    } catch (...) {
        threads.ended();
        throw;
    }
}

} // namespace korvane
