#include "base/sleep.h"

#include "base/errors.h"

namespace korvane {

namespace detail {

class SleepWait final : public ResumeOnce {
public:
    Executor::TimerId timer = 0;

private:
    void stopWork() noexcept override {
        if (timer != 0) mainExecutor().cancelTimer(timer);
    }
};

} // namespace detail

SleepAwaiter::~SleepAwaiter() {
    if (wait_) wait_->abandon();
}

void SleepAwaiter::start(std::coroutine_handle<> h, std::stop_token token) {
    wait_ = std::make_shared<detail::SleepWait>();
    wait_->suspend(h, std::move(token));
    if (!wait_->waiting()) return;
    wait_->timer = mainExecutor().callAfter(delay_, [wait = wait_] {
        wait->timer = 0;
        wait->complete();
    });
}

void SleepAwaiter::await_resume() { wait_->finish(); }

void CancellationCheck::await_resume() const {
    if (cancelled_) throw Cancelled();
}

} // namespace korvane
