#pragma once

// Everything the layers below the widgets log while it lives, kept for a test to read.

#include <mutex>
#include <string>

#include "support/diagnostics.h"

namespace velune::testing {

inline std::mutex capturedMutex;
inline std::string captured;

struct CapturedLog {
    CapturedLog() {
        setLogSink([](LogArea area, LogLevel, const std::string& line) {
            std::lock_guard lock(capturedMutex);
            captured += std::string(logAreaName(area)) + ": " + line + "\n";
        });
    }
    ~CapturedLog() {
        setLogSink(nullptr);
        captured.clear();
    }
    std::string all() const {
        std::lock_guard lock(capturedMutex);
        return captured;
    }
};

}  // namespace velune::testing
