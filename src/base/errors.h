#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace korvane {

// The general error of the client: what() is the sentence the user sees.
class KorvaneError : public std::runtime_error {
public:
    explicit KorvaneError(const std::string& message) : std::runtime_error(message) {}
};

// Thrown into a task whose stop token was triggered, at the wait it was suspended in.
// Deliberately not a KorvaneError: handlers that turn KorvaneError into a user message
// must let a cancellation pass through.
class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "操作已取消"; }
};

// A file-system failure; what() is the system's text for the error number (never a path,
// so that it can be shown and logged without revealing the user's directory layout).
class FileError : public std::runtime_error {
public:
    explicit FileError(int errorNumber);
    int errorNumber() const noexcept { return errorNumber_; }

private:
    int errorNumber_;
};

} // namespace korvane
