#include "base/resume_once.h"

#include "base/errors.h"
#include "base/executor.h"

#include <utility>

namespace korvane {

void ResumeOnce::suspend(std::coroutine_handle<> waiter, std::stop_token token) {
    waiter_ = waiter;
    state_ = State::Waiting;
    // Runs cancel() right here when the token is already stopped.
    if (token.stop_possible()) onStop_.emplace(std::move(token), OnStop{this});
}

void ResumeOnce::complete() {
    if (state_ != State::Waiting) return;
    state_ = State::Resumed;
    onStop_.reset();
    waiter_.resume();
}

void ResumeOnce::completeLater() { completeLater(shared_from_this()); }

void ResumeOnce::completeLater(std::shared_ptr<ResumeOnce>&& wait) {
    mainExecutor().post([wait = std::move(wait)] { wait->complete(); });
}

void ResumeOnce::cancel() noexcept {
    if (state_ != State::Waiting) return;
    state_ = State::Resuming;
    cancelled_ = true;
    stopWork();
    // Never resumed inside the canceller's call: it may be in the middle of other work.
    mainExecutor().post([self = shared_from_this()] { self->resumeNow(); });
}

void ResumeOnce::resumeNow() {
    if (state_ != State::Resuming) return;
    state_ = State::Resumed;
    onStop_.reset();
    waiter_.resume();
}

void ResumeOnce::abandon() noexcept {
    const State before = std::exchange(state_, State::Abandoned);
    if (before == State::Idle || before == State::Resumed) {
        state_ = before;
        return;
    }
    onStop_.reset();
    if (before == State::Waiting) stopWork();
}

void ResumeOnce::finish() {
    if (cancelled_) throw Cancelled();
}

} // namespace korvane
