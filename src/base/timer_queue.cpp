#include "base/timer_queue.h"

#include <utility>

namespace korvane {

TimerQueue::TimerId TimerQueue::add(MonotonicTime due, std::function<void()> fn) {
    const TimerId id = nextId_++;
    timers_.emplace(Key{due, id}, std::move(fn));
    dueById_.emplace(id, due);
    return id;
}

void TimerQueue::cancel(TimerId id) {
    auto found = dueById_.find(id);
    if (found == dueById_.end()) return;
    timers_.erase(Key{found->second, id});
    dueById_.erase(found);
}

std::optional<MonotonicTime> TimerQueue::nextDue() const {
    if (timers_.empty()) return std::nullopt;
    return timers_.begin()->first.due;
}

std::function<void()> TimerQueue::takeDue(MonotonicTime at) {
    if (timers_.empty() || timers_.begin()->first.due > at) return {};
    auto entry = timers_.extract(timers_.begin());
    dueById_.erase(entry.key().id);
    return std::move(entry.mapped());
}

} // namespace korvane
