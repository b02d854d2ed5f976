#pragma once

#include "base/json.h"

#include <mutex>

namespace korvane::headless {

// Writes one JSON object per line on standard output, whole lines only, from any thread.
class EventWriter {
public:
    void emit(const std::string& event, Json fields = Json::object());

private:
    std::mutex mutex_;
};

} // namespace korvane::headless
