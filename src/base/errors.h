#pragma once

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

namespace korvane {

// What the user reads when a server (the panel, the core's controller, the update center)
// answers with JSON of the wrong shape.
inline constexpr const char* kMalformedAnswerText = "服务器返回数据格式不正确";

// The general error of the client: what() is the sentence the user sees.
class KorvaneError : public std::runtime_error {
public:
    explicit KorvaneError(const std::string& message) : std::runtime_error(message) {}
};

// A non-2xx answer. what() is the panel's own "message" when it gave a non-empty one,
// otherwise "请求失败 HTTP " and the status.
class KorvaneHTTPStatusError : public std::runtime_error {
public:
    KorvaneHTTPStatusError(int statusCode, std::optional<std::string> userMessage);
    int statusCode() const noexcept { return statusCode_; }
    const std::optional<std::string>& userMessage() const noexcept { return userMessage_; }

private:
    int statusCode_;
    std::optional<std::string> userMessage_;
};

// A failure below HTTP (no connection, time-out, TLS); what() is the transport's own text.
class TransportError : public std::runtime_error {
public:
    explicit TransportError(const std::string& text) : std::runtime_error(text) {}
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
