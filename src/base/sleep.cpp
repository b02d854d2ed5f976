#include "base/sleep.h"

#include "base/errors.h"

namespace korvane {

void SleepAwaiter::start(std::coroutine_handle<> h, std::stop_token token) {
    waiter_ = h;
    auto& executor = mainExecutor();
    if (token.stop_requested()) {
        cancelled_ = true;
        executor.post([h] { h.resume(); });
        return;
    }
    timer_ = executor.callAfter(delay_, [this] {
        onStop_.reset();
        waiter_.resume();
    });
    onStop_.emplace(std::move(token), OnStop{this});
}

void SleepAwaiter::OnStop::operator()() const noexcept {
    auto& executor = mainExecutor();
    executor.cancelTimer(self->timer_);
    self->cancelled_ = true;
    executor.post([h = self->waiter_] { h.resume(); });
}

void SleepAwaiter::await_resume() {
    onStop_.reset();
    if (cancelled_) throw Cancelled();
}

void CancellationCheck::await_resume() const {
    if (cancelled_) throw Cancelled();
}

} // namespace korvane
