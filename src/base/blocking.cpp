#include "base/blocking.h"

#include "base/errors.h"
#include "base/executor.h"

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

namespace detail {

void BlockingWait::begin(std::coroutine_handle<> waiter, std::stop_token token) {
    waiter_ = waiter;
    auto& executor = mainExecutor();
    if (token.stop_requested()) {
        resumed_ = true;
        cancelled_ = true;
        executor.post([waiter] { waiter.resume(); });
        return;
    }
    onStop_.emplace(std::move(token), OnStop{this});
    submitToWorkPool([self = shared_from_this(), &executor] {
        self->runBody();
        executor.post([self] { self->completeOnMain(); });
    });
}

void BlockingWait::completeOnMain() {
    if (resumed_) return;
    resumed_ = true;
    waiter_.resume();
}

void BlockingWait::OnStop::operator()() const noexcept {
    if (self->resumed_) return;
    self->resumed_ = true;
    self->cancelled_ = true;
    mainExecutor().post([h = self->waiter_] { h.resume(); });
}

void BlockingWait::finishWait() {
    onStop_.reset();
    if (cancelled_) throw Cancelled();
}

} // namespace detail

} // namespace korvane
