#pragma once

// blocking(fn): runs a synchronous, possibly throwing body on the shared work pool and
// resumes the awaiting task on the main thread with its result. Cancelling the task resumes
// it at once with Cancelled; the body itself runs to its end and its result is dropped.

#include "base/resume_once.h"
#include "base/task.h"

#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>

namespace korvane {

// Runs work on one of a few background threads. Safe from any thread.
void submitToWorkPool(std::function<void()> work);

namespace detail {

// A blocking call's wait: the worker fills the result, then completes the wait on the main
// thread. Cancelling resumes the task at once; the body runs to its end and its result is
// dropped with the last reference.
template <class R> class BlockingState final : public ResumeOnce {
public:
    explicit BlockingState(std::function<R()> body) : body_(std::move(body)) {}

    void begin(std::coroutine_handle<> waiter, std::stop_token token) {
        suspend(waiter, std::move(token));
        if (!waiting()) return;
        submitToWorkPool([self = std::static_pointer_cast<BlockingState>(shared_from_this())]() mutable {
            self->runBody();
            ResumeOnce::completeLater(std::move(self));
        });
    }

    R take() {
        finish();
        if (error_) std::rethrow_exception(error_);
        if constexpr (!std::is_void_v<R>) return std::move(*result_);
    }

private:
    void runBody() noexcept {
        try {
            if constexpr (std::is_void_v<R>) {
                body_();
            } else {
                result_.emplace(body_());
            }
        } catch (...) {
            error_ = std::current_exception();
        }
    }

    std::function<R()> body_;
    std::conditional_t<std::is_void_v<R>, bool, std::optional<R>> result_{};
    std::exception_ptr error_;
};

} // namespace detail

template <class R> class BlockingAwaiter {
public:
    explicit BlockingAwaiter(std::function<R()> body)
        : state_(std::make_shared<detail::BlockingState<R>>(std::move(body))) {}
    BlockingAwaiter(BlockingAwaiter&&) noexcept = default;
    BlockingAwaiter& operator=(BlockingAwaiter&&) = delete;
    ~BlockingAwaiter() {
        if (state_) state_->abandon();
    }

    bool await_ready() const noexcept { return false; }
    template <class P> void await_suspend(std::coroutine_handle<P> h) { state_->begin(h, stopTokenOf(h)); }
    R await_resume() { return state_->take(); }

private:
    std::shared_ptr<detail::BlockingState<R>> state_;
};

template <class F> auto blocking(F&& body) -> BlockingAwaiter<std::invoke_result_t<F>> {
    using R = std::invoke_result_t<F>;
    return BlockingAwaiter<R>(std::function<R()>(std::forward<F>(body)));
}

} // namespace korvane
