#pragma once

// A private headless Wayland desktop (Weston), with or without XWayland: what a GNOME or KDE
// Wayland session offers a program, minus the screen. Nothing here injects input: Weston's
// headless backend has no seat that a test could drive.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "child_process.h"

namespace velune::rig {

class WestonSession {
  public:
    // Starts Weston; throws std::runtime_error when its socket (or its X server) does not come up.
    WestonSession(const std::filesystem::path& workDirectory, bool withXWayland);
    ~WestonSession() { weston_.stop(); }
    WestonSession(const WestonSession&) = delete;
    WestonSession& operator=(const WestonSession&) = delete;

    // A client of this session as a desktop starts it: WAYLAND_DISPLAY, DISPLAY only where
    // XWayland runs, and no platform chosen for Qt.
    ChildEnvironment& configure(ChildEnvironment& environment) const;

    // Whether a top-level X window with this title shows on the XWayland display in time.
    bool waitForXWindow(const std::string& title, std::chrono::milliseconds timeout) const;

  private:
    std::filesystem::path socket_;
    std::optional<std::string> xDisplay_;
    ChildProcess weston_;
};

}  // namespace velune::rig
