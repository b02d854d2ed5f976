#pragma once

#include <chrono>
#include <mutex>
#include <string>

namespace korvane {

using WallTime = std::chrono::system_clock::time_point;

// yyyy-MM-dd of the UTC day containing t, as daily file names carry it.
std::string utcDate(WallTime t);

// Wall-clock reads go through this so tests can put "now" wherever they need it.
class Clock {
public:
    virtual ~Clock() = default;
    virtual WallTime now() const = 0;
};

class SystemClock final : public Clock {
public:
    WallTime now() const override { return std::chrono::system_clock::now(); }
};

// A clock that moves only when told to. Thread-safe, because the event log reads it from
// any thread.
class ManualClock final : public Clock {
public:
    explicit ManualClock(WallTime start = WallTime{std::chrono::seconds{1'700'000'000}}) : now_(start) {}

    WallTime now() const override {
        std::lock_guard lock(mutex_);
        return now_;
    }
    void set(WallTime t) {
        std::lock_guard lock(mutex_);
        now_ = t;
    }
    void advance(std::chrono::nanoseconds d) {
        std::lock_guard lock(mutex_);
        now_ += std::chrono::duration_cast<WallTime::duration>(d);
    }

private:
    mutable std::mutex mutex_;
    WallTime now_;
};

// The process-wide wall clock: the system clock unless a test installed another one.
Clock& wallClock();
void setWallClock(Clock* clock);

} // namespace korvane
