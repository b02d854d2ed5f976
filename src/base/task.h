#pragma once

// Task<T>: a lazy, move-only coroutine awaited by its caller. A task starts when it is
// awaited (or spawned) and resumes its awaiter by symmetric transfer when it finishes.
// Every task frame carries the stop token of the spawned task it runs in, so that the
// waits inside it (sleep, blocking calls, HTTP) can observe cancellation.

#include <coroutine>
#include <exception>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <type_traits>
#include <utility>

namespace korvane {

namespace detail {

struct PromiseBase {
    std::coroutine_handle<> continuation;
    std::stop_token stopToken;
    std::exception_ptr error;

    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <class P> std::coroutine_handle<> await_suspend(std::coroutine_handle<P> self) noexcept {
            auto next = self.promise().continuation;
            return next ? next : std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };

    std::suspend_always initial_suspend() noexcept { return {}; }
    FinalAwaiter final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <class T> struct TaskPromise : PromiseBase {
    std::optional<T> value;

    template <class U> void return_value(U&& v) { value.emplace(std::forward<U>(v)); }
    T take() {
        if (error) std::rethrow_exception(error);
        return std::move(*value);
    }
};

template <> struct TaskPromise<void> : PromiseBase {
    void return_void() noexcept {}
    void take() {
        if (error) std::rethrow_exception(error);
    }
};

} // namespace detail

// The stop token of the task a coroutine runs in, for awaitables whose await_suspend is
// templated on the awaiting promise.
template <class P> std::stop_token stopTokenOf(std::coroutine_handle<P> h) {
    if constexpr (std::is_base_of_v<detail::PromiseBase, P>) {
        return h.promise().stopToken;
    } else {
        return {};
    }
}

template <class T = void> class [[nodiscard]] Task {
public:
    struct promise_type : detail::TaskPromise<T> {
        Task get_return_object() noexcept {
            return Task(std::coroutine_handle<promise_type>::from_promise(*this));
        }
    };
    using Handle = std::coroutine_handle<promise_type>;

    Task() noexcept = default;
    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { reset(); }

    class Awaiter {
    public:
        explicit Awaiter(Handle h, bool inheritsStop = true) noexcept : h_(h), inheritsStop_(inheritsStop) {}
        bool await_ready() const {
            // A moved-from or default-constructed Task has no frame to run: a programming error.
            if (!h_) throw std::logic_error("co_await on an empty Task");
            return h_.done();
        }
        template <class P> std::coroutine_handle<> await_suspend(std::coroutine_handle<P> parent) noexcept {
            h_.promise().continuation = parent;
            if (inheritsStop_) h_.promise().stopToken = stopTokenOf(parent);
            return h_;
        }
        T await_resume() { return h_.promise().take(); }

    private:
        Handle h_;
        bool inheritsStop_;
    };

    Awaiter operator co_await() && noexcept { return Awaiter(handle_); }
    // See uncancellable().
    Awaiter withoutCancellation() && noexcept { return Awaiter(handle_, false); }

    // Hands the frame over to a runner that will start it (spawn does this).
    Handle release() noexcept { return std::exchange(handle_, {}); }

private:
    explicit Task(Handle h) noexcept : handle_(h) {}
    void reset() noexcept {
        if (handle_) handle_.destroy();
        handle_ = {};
    }

    Handle handle_;
};

// co_await uncancellable(task): runs task to its end even when the awaiting task has been
// cancelled, for clean-up that must finish (stopping a child process). Its waits must be
// bounded, since nothing can cut them short.
template <class T> auto uncancellable(Task<T>&& task) noexcept {
    return std::move(task).withoutCancellation();
}

} // namespace korvane
