#include "shells/gtk/glib_executor.h"

#include <glib.h>

#include <algorithm>

namespace korvane::gtk {

namespace {

struct Posted {
    std::function<void()> fn;
};

gboolean runPosted(gpointer data) {
    static_cast<Posted*>(data)->fn();
    return G_SOURCE_REMOVE;
}

void deletePosted(gpointer data) { delete static_cast<Posted*>(data); }

} // namespace

GlibExecutor::~GlibExecutor() {
    if (source_) g_source_remove(source_);
}

void GlibExecutor::post(std::function<void()> fn) {
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, runPosted, new Posted{std::move(fn)}, deletePosted);
    g_source_attach(source, g_main_context_default());
    g_source_unref(source);
}

Executor::TimerId GlibExecutor::callAfter(Duration delay, std::function<void()> fn) {
    const auto due = now() + std::max(delay, Duration::zero());
    const TimerId id = timers_.add(due, std::move(fn));
    // Re-armed only when the new timer is the earliest one.
    if (timers_.nextDue() == due) arm();
    return id;
}

void GlibExecutor::cancelTimer(TimerId id) { timers_.cancel(id); }

MonotonicTime GlibExecutor::now() const { return std::chrono::steady_clock::now(); }

void GlibExecutor::arm() {
    if (source_) g_source_remove(source_);
    source_ = 0;
    const auto due = timers_.nextDue();
    if (!due) return;
    const auto wait = *due - now();
    // Rounded up, so the timeout never fires just before the earliest timer is due.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
    source_ = g_timeout_add_full(G_PRIORITY_DEFAULT, ms < 0 ? 0u : static_cast<guint>(ms), onTimeout, this,
                                 nullptr);
}

int GlibExecutor::onTimeout(void* data) {
    auto* self = static_cast<GlibExecutor*>(data);
    self->source_ = 0;
    // One at a time from the front: a callback may cancel or add timers.
    while (auto fn = self->timers_.takeDue(self->now()))
        fn();
    self->arm();
    return G_SOURCE_REMOVE;
}

} // namespace korvane::gtk
