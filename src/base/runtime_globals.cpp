#include "base/clock.h"
#include "base/errors.h"
#include "base/executor.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace korvane {

namespace {
std::atomic<Executor*> installedExecutor{nullptr};
std::atomic<Clock*> installedClock{nullptr};
} // namespace

Executor& mainExecutor() {
    Executor* executor = installedExecutor.load();
    if (!executor) std::abort(); // a programming error: no loop was installed
    return *executor;
}

void setMainExecutor(Executor* executor) { installedExecutor.store(executor); }

Clock& wallClock() {
    static SystemClock systemClock;
    Clock* clock = installedClock.load();
    return clock ? *clock : systemClock;
}

void setWallClock(Clock* clock) { installedClock.store(clock); }

namespace {
std::string statusDescription(int statusCode, const std::optional<std::string>& userMessage) {
    if (userMessage && !userMessage->empty()) return *userMessage;
    return "请求失败 HTTP " + std::to_string(statusCode);
}
} // namespace

KorvaneHTTPStatusError::KorvaneHTTPStatusError(int statusCode, std::optional<std::string> userMessage)
    : std::runtime_error(statusDescription(statusCode, userMessage)), statusCode_(statusCode),
      userMessage_(std::move(userMessage)) {}

FileError::FileError(int errorNumber)
    : std::runtime_error(std::strerror(errorNumber)), errorNumber_(errorNumber) {}

} // namespace korvane
