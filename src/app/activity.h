#pragma once

#include <optional>
#include <utility>

namespace korvane {

// What the controller is in the middle of, and the one place that says which of it may
// overlap:
// - Busy work is exclusive among itself: one connect, disconnect, sign-out or update check at
//   a time. The page's actions and the menu's connect take it; whoever cannot, refuses.
// - The update hand-off runs inside the update check's busy work and moves the update stage
//   on: handing off (the package is prepared and the core is being paused), then applying (the
//   install script runs; the core was paused safely unless the exit task has to pause it).
//   While an update is under way the health tick, the menu toggle and account refreshes stand
//   still, and sign-out and a new update check are refused once it applies.
// - Exiting may begin while busy work runs (a quit during a connect); the exit task waits
//   for that work before it restores anything, and no connect starts once it has begun.
class Activity {
public:
    enum class Work { None, Connecting, Disconnecting, SigningOut, CheckingUpdate };
    enum class Update { None, HandingOff, Applying };

    // Busy work held until the object goes, on every way out of the action.
    class Hold {
    public:
        explicit Hold(Activity& activity) : activity_(&activity) {}
        Hold(Hold&& other) noexcept : activity_(std::exchange(other.activity_, nullptr)) {}
        Hold& operator=(Hold&&) = delete;
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        ~Hold() {
            if (activity_) activity_->work_ = Work::None;
        }

    private:
        Activity* activity_;
    };

    // Takes busy work, or none when other busy work is under way.
    [[nodiscard]] std::optional<Hold> begin(Work work) {
        if (work_ != Work::None) return std::nullopt;
        work_ = work;
        return std::optional<Hold>(std::in_place, *this);
    }

    bool busy() const { return work_ != Work::None; }
    Work work() const { return work_; }

    bool exiting() const { return exiting_; }
    void setExiting(bool exiting) { exiting_ = exiting; }

    Update update() const { return update_; }
    void setUpdate(Update update) { update_ = update; }
    // The hand-off or the installation is under way.
    bool updateUnderWay() const { return update_ != Update::None; }
    bool applyingUpdate() const { return update_ == Update::Applying; }
    // The hand-off paused the core safely, so the exit needs nothing more.
    bool coreSafelyStopped() const { return coreSafelyStopped_; }
    void setCoreSafelyStopped() { coreSafelyStopped_ = true; }

private:
    Work work_ = Work::None;
    bool exiting_ = false;
    Update update_ = Update::None;
    bool coreSafelyStopped_ = false;
};

} // namespace korvane
