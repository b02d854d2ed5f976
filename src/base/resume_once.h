#pragma once

// ResumeOnce: where a suspended task meets the one event that ends its wait. Every wait of the
// runtime (a sleep, a blocking call, an HTTP request, a join) is one of these: the work it
// waits for completes, or the task is cancelled, whichever comes first, and the task resumes
// on the main thread exactly once.
//
// It is shared between the awaiter (inside the waiting task's frame) and whoever completes
// the wait (a timer, a work-pool thread, the HTTP thread), so a completion that arrives after
// the frame was destroyed finds the wait abandoned and does nothing. Awaiters call abandon()
// from their destructor: a frame destroyed while suspended (its task scope was discarded)
// stops the work and is never resumed.

#include <coroutine>
#include <memory>
#include <optional>
#include <stop_token>

namespace korvane {

class ResumeOnce : public std::enable_shared_from_this<ResumeOnce> {
public:
    ResumeOnce() = default;
    virtual ~ResumeOnce() = default;
    ResumeOnce(const ResumeOnce&) = delete;
    ResumeOnce& operator=(const ResumeOnce&) = delete;

    // Main thread. Suspends waiter until complete() or until token is stopped; a token that is
    // already stopped ends the wait at once (the waiter resumes on the next turn).
    void suspend(std::coroutine_handle<> waiter, std::stop_token token = {});
    // Whether the wait is still open (neither completed, cancelled nor abandoned).
    bool waiting() const noexcept { return state_ == State::Waiting; }

    // Main thread: ends the wait and resumes the waiter right here. Ignored once it has ended.
    void complete();
    // Ends the wait on the main thread's next turn; from the main thread.
    void completeLater();
    // The same from any thread, handing over the caller's reference: the wait and what it
    // holds (a result, an error) are released on the main thread, never on the caller's.
    static void completeLater(std::shared_ptr<ResumeOnce>&& wait);
    // The waiter's frame is going away without being resumed: stop the work, resume nothing.
    void abandon() noexcept;
    // For await_resume: throws Cancelled when the wait ended by cancellation.
    void finish();

protected:
    // Main thread: the wait ended without the work completing (cancelled or abandoned); stop
    // the work if it can be stopped, such as a timer or a transfer.
    virtual void stopWork() noexcept {}

private:
    enum class State { Idle, Waiting, Resuming, Resumed, Abandoned };
    struct OnStop {
        ResumeOnce* self;
        void operator()() const noexcept { self->cancel(); }
    };
    void cancel() noexcept;
    void resumeNow();

    State state_ = State::Idle;
    bool cancelled_ = false;
    std::coroutine_handle<> waiter_;
    std::optional<std::stop_callback<OnStop>> onStop_;
};

} // namespace korvane
