#pragma once

#include <string>
#include <vector>

namespace korvane {

// The application object as the controller needs it.
class Application {
public:
    virtual ~Application() = default;

    // A regular application: an icon in the Dock and a menu bar.
    virtual void setActivationPolicyRegular() = 0;
    // Asks the application to quit; the platform then calls the controller's termination gate.
    virtual void requestTermination() = 0;
    // The later answer to a termination the gate deferred: true quits, false keeps running.
    virtual void replyToTermination(bool shouldTerminate) = 0;
    // Brings the application to the front, ignoring other applications.
    virtual void activate() = 0;

    virtual std::vector<std::string> arguments() const = 0;
    virtual int processId() const = 0;
    // One line in the system log. Never pass secrets or paths of the user's files.
    virtual void systemLog(const std::string& line) = 0;
};

} // namespace korvane
