#pragma once

#include "base/executor.h"
#include "base/timer_queue.h"

namespace korvane::gtk {

// The GLib main context as the async runtime's main executor. Work posted from other
// threads goes through an idle source attached to the main context explicitly:
// g_main_context_invoke would run it on the calling thread while the loop is not running.
// Timers are kept here, ordered by due time (ties in the order they were set), behind one
// GLib timeout for the earliest: GLib itself would run timeouts that fall due together in
// the order they were added.
class GlibExecutor final : public Executor {
public:
    GlibExecutor() = default;
    ~GlibExecutor() override;
    GlibExecutor(const GlibExecutor&) = delete;
    GlibExecutor& operator=(const GlibExecutor&) = delete;

    void post(std::function<void()> fn) override;
    TimerId callAfter(Duration delay, std::function<void()> fn) override;
    void cancelTimer(TimerId id) override;
    MonotonicTime now() const override;

private:
    static int onTimeout(void* data);
    void arm();

    TimerQueue timers_;
    unsigned source_ = 0;
};

} // namespace korvane::gtk
