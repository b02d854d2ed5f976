#pragma once

// blocking(fn): runs a synchronous, possibly throwing body on the shared work pool and
// resumes the awaiting task on the main thread with its result. Cancelling the task resumes
// it at once with Cancelled; the body itself runs to its end and its result is dropped.

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

// The part of a blocking wait that does not depend on the result type. Its fields are
// touched only on the main thread, except that the worker fills the result beforehand.
class BlockingWait : public std::enable_shared_from_this<BlockingWait> {
public:
    virtual ~BlockingWait() = default;
    void begin(std::coroutine_handle<> waiter, std::stop_token token);
    void finishWait();

protected:
    virtual void runBody() noexcept = 0;
    bool cancelled_ = false;

private:
    struct OnStop {
        BlockingWait* self;
        void operator()() const noexcept;
    };
    void completeOnMain();

    std::coroutine_handle<> waiter_;
    bool resumed_ = false;
    std::optional<std::stop_callback<OnStop>> onStop_;
};

template <class R> class BlockingState final : public BlockingWait {
public:
    explicit BlockingState(std::function<R()> body) : body_(std::move(body)) {}

    R take() {
        finishWait();
        if (error_) std::rethrow_exception(error_);
        if constexpr (!std::is_void_v<R>) return std::move(*result_);
    }

private:
    void runBody() noexcept override {
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
