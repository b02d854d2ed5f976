#include "base/serial_queue.h"

#include "base/errors.h"
#include "base/executor.h"

#include <algorithm>
#include <deque>
#include <utility>

namespace korvane {

// A task waiting in line. The turn is granted by completing its wait; a waiter cancelled or
// abandoned before its task resumed leaves the line, or passes on the turn it was granted.
struct SerialQueue::Waiter final : ResumeOnce {
    std::weak_ptr<SerialQueue::State> queue;
    bool granted = false;

    void stopWork() noexcept override;
};

struct SerialQueue::State {
    bool held = false;
    std::deque<std::shared_ptr<Waiter>> line;

    // Passes the turn to the first in line, or frees the queue.
    void release() {
        if (line.empty()) {
            held = false;
            return;
        }
        auto next = std::move(line.front());
        line.pop_front();
        next->granted = true;
        next->completeLater();
    }

    void remove(const Waiter* waiter) {
        auto found = std::find_if(line.begin(), line.end(),
                                  [waiter](const auto& entry) { return entry.get() == waiter; });
        if (found != line.end()) line.erase(found);
    }
};

void SerialQueue::Waiter::stopWork() noexcept {
    auto state = queue.lock();
    if (!state) return;
    if (granted) {
        state->release();
    } else {
        state->remove(this);
    }
}

SerialQueue::SerialQueue() : state_(std::make_shared<State>()) {}
SerialQueue::~SerialQueue() = default;

bool SerialQueue::busy() const { return state_->held; }

SerialQueue::Turn& SerialQueue::Turn::operator=(Turn&& other) noexcept {
    if (this != &other) {
        release();
        state_ = std::move(other.state_);
    }
    return *this;
}

void SerialQueue::Turn::release() {
    if (auto state = std::move(state_)) state->release();
}

std::shared_ptr<const void> SerialQueue::Turn::handOff() && {
    class Token {
    public:
        explicit Token(std::shared_ptr<State> state) : state_(std::move(state)), executor_(mainExecutor()) {}
        Token(const Token&) = delete;
        Token& operator=(const Token&) = delete;
        ~Token() {
            if (state_) executor_.post([state = std::move(state_)] { state->release(); });
        }

    private:
        std::shared_ptr<State> state_;
        Executor& executor_;
    };
    return std::make_shared<const Token>(std::move(state_));
}

bool SerialQueue::NextAwaiter::enter(std::coroutine_handle<> h, std::stop_token token) {
    if (token.stop_requested()) {
        cancelled_ = true;
        return false;
    }
    if (!state_->held) {
        state_->held = true;
        return false;
    }
    waiter_ = std::make_shared<Waiter>();
    waiter_->queue = state_;
    state_->line.push_back(waiter_);
    waiter_->suspend(h, std::move(token));
    return true;
}

SerialQueue::Turn SerialQueue::NextAwaiter::await_resume() {
    if (cancelled_) throw Cancelled();
    // Throws Cancelled for a waiter cancelled in line, or after the turn was granted: its
    // stopWork already left the line or passed the turn on.
    if (waiter_) std::exchange(waiter_, {})->finish();
    return Turn(state_);
}

SerialQueue::NextAwaiter::~NextAwaiter() {
    // Only a frame destroyed while waiting in line gets here with a waiter.
    if (waiter_) waiter_->abandon();
}

} // namespace korvane
