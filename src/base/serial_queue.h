#pragma once

// SerialQueue: a first-come, first-served lock for tasks on the main thread. A task awaits
// its turn, does its work and ends the turn; the next task in line then gets it.
//
//     SerialQueue::Turn turn = co_await queue.next();
//
// Cancelling a task while it waits in line takes it out of the line: its co_await throws
// Cancelled and it never gets the turn. Work handed to another thread (a blocking() body
// that outlives a cancelled task) can keep the turn until that work has really ended; see
// Turn::handOff.

#include "base/resume_once.h"
#include "base/task.h"

#include <coroutine>
#include <memory>
#include <stop_token>

namespace korvane {

class SerialQueue {
    struct State;
    struct Waiter;

public:
    SerialQueue();
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // The right to run, until release(), handOff() or destruction. Main thread only.
    class Turn {
    public:
        Turn() = default;
        explicit Turn(std::shared_ptr<State> state) : state_(std::move(state)) {}
        Turn(Turn&& other) noexcept = default;
        Turn& operator=(Turn&& other) noexcept;
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;
        ~Turn() { release(); }

        bool held() const { return static_cast<bool>(state_); }
        void release();
        // Moves the turn into a token for work on another thread: the turn ends (on the main
        // thread, through the main executor) once the last copy of the token is gone,
        // wherever that happens. Capture it in the work and drop it when the work is done.
        std::shared_ptr<const void> handOff() &&;

    private:
        std::shared_ptr<State> state_;
    };

    class NextAwaiter {
    public:
        explicit NextAwaiter(std::shared_ptr<State> state) : state_(std::move(state)) {}
        NextAwaiter(const NextAwaiter&) = delete;
        NextAwaiter& operator=(const NextAwaiter&) = delete;
        ~NextAwaiter();

        bool await_ready() const noexcept { return false; }
        template <class P> bool await_suspend(std::coroutine_handle<P> h) { return enter(h, stopTokenOf(h)); }
        Turn await_resume();

    private:
        bool enter(std::coroutine_handle<> h, std::stop_token token);

        std::shared_ptr<State> state_;
        std::shared_ptr<Waiter> waiter_; // only while waiting in line
        bool cancelled_ = false;         // cancelled before it could join the line
    };

    // Waits until every turn asked for earlier has ended.
    NextAwaiter next() { return NextAwaiter(state_); }
    // Whether a turn is held now or someone waits for one.
    bool busy() const;

private:
    std::shared_ptr<State> state_;
};

} // namespace korvane
