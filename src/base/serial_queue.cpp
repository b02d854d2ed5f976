#include "base/serial_queue.h"

#include "base/errors.h"
#include "base/executor.h"

#include <algorithm>
#include <deque>
#include <optional>

namespace korvane {

struct SerialQueue::Waiter {
    struct OnStop {
        State* state;
        Waiter* waiter;
        void operator()() const noexcept;
    };

    std::coroutine_handle<> handle;
    bool granted = false;
    // The frame went away before the resume posted for it ran.
    bool abandoned = false;
    std::optional<std::stop_callback<OnStop>> onStop;
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
        resumeLater(std::move(next));
    }

    static void resumeLater(std::shared_ptr<Waiter> waiter) {
        mainExecutor().post([waiter = std::move(waiter)] {
            if (!waiter->abandoned) waiter->handle.resume();
        });
    }

    std::shared_ptr<Waiter> remove(const Waiter* waiter) {
        auto found = std::find_if(line.begin(), line.end(),
                                  [waiter](const auto& entry) { return entry.get() == waiter; });
        if (found == line.end()) return nullptr;
        auto entry = std::move(*found);
        line.erase(found);
        return entry;
    }
};

// A cancelled waiter leaves the line at once, so the turn never passes to it; it wakes up to
// throw Cancelled. One that already got the turn finds out in await_resume.
void SerialQueue::Waiter::OnStop::operator()() const noexcept {
    if (waiter->granted) return;
    if (auto entry = state->remove(waiter)) State::resumeLater(std::move(entry));
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
    token_ = std::move(token);
    if (token_.stop_requested()) return false;
    if (!state_->held) {
        state_->held = true;
        granted_ = true;
        return false;
    }
    waiter_ = std::make_shared<Waiter>();
    waiter_->handle = h;
    state_->line.push_back(waiter_);
    waiter_->onStop.emplace(token_, Waiter::OnStop{state_.get(), waiter_.get()});
    return true;
}

SerialQueue::Turn SerialQueue::NextAwaiter::await_resume() {
    done_ = true;
    if (waiter_) {
        waiter_->onStop.reset();
        granted_ = waiter_->granted;
    }
    if (token_.stop_requested()) {
        if (granted_) state_->release();
        throw Cancelled();
    }
    return Turn(state_);
}

SerialQueue::NextAwaiter::~NextAwaiter() {
    // Only a frame destroyed while suspended in line gets here unfinished.
    if (done_ || !waiter_) return;
    waiter_->abandoned = true;
    waiter_->onStop.reset();
    if (waiter_->granted) {
        state_->release();
    } else {
        state_->remove(waiter_.get());
    }
}

} // namespace korvane
