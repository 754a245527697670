#pragma once

// A private X display: Xvfb on a free display number with openbox managing it, what a user's
// desktop gives the program (activation, focus, title bars, Alt+F4). The session looks at
// windows through its own Xlib connection and acts like a user through xdotool (XTEST): key
// presses and releases go to whatever has the focus, mouse clicks to what is under the pointer.

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"

using Display = struct _XDisplay;

namespace velune::e2e {

using XWindow = unsigned long;

struct ScreenRect {
    int x = 0, y = 0, width = 0, height = 0;
    int centerX() const { return x + width / 2; }
    int centerY() const { return y + height / 2; }
};

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
};

class Screenshot {
public:
    Screenshot() = default;
    Screenshot(int width, int height) : width_(width), height_(height), pixels_(std::size_t(width) * height) {}
    int width() const { return width_; }
    int height() const { return height_; }
    Rgb at(int x, int y) const { return pixels_[std::size_t(y) * width_ + x]; }
    void set(int x, int y, Rgb c) { pixels_[std::size_t(y) * width_ + x] = c; }
    bool savePng(const std::filesystem::path& file) const;
    bool operator==(const Screenshot& other) const {
        return width_ == other.width_ && height_ == other.height_ &&
               std::equal(pixels_.begin(), pixels_.end(), other.pixels_.begin(),
                          [](Rgb a, Rgb b) { return a.r == b.r && a.g == b.g && a.b == b.b; });
    }
    bool allBlack() const {
        return std::all_of(pixels_.begin(), pixels_.end(), [](Rgb c) { return c.r == 0 && c.g == 0 && c.b == 0; });
    }

private:
    int width_ = 0, height_ = 0;
    std::vector<Rgb> pixels_;
};

class XSession {
public:
    // Starts Xvfb and openbox; throws std::runtime_error when the display does not come up.
    explicit XSession(const std::filesystem::path& workDirectory);
    ~XSession();
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    const std::string& display() const { return display_; }
    // DISPLAY and a quiet, private desktop for a client of this display.
    ChildEnvironment clientEnvironment() const;

    // --- looking -----------------------------------------------------------------------
    // Managed top-level windows (the window manager's client list), oldest first.
    std::vector<XWindow> clientWindows();
    std::string title(XWindow window);
    pid_t processOf(XWindow window);
    bool exists(XWindow window);
    bool isViewable(XWindow window);
    // Mapped top-level windows that the window manager does not manage: menus, drop-down lists.
    std::vector<XWindow> popupWindows();
    // A managed, mapped window with this exact title, of that process when pid > 0.
    std::optional<XWindow> findWindow(const std::string& title, pid_t pid = 0);
    std::optional<XWindow> waitForWindow(const std::string& title, pid_t pid,
                                         std::chrono::milliseconds timeout);
    bool waitUntilGone(XWindow window, std::chrono::milliseconds timeout);
    // The window that the window manager calls active and that holds the X input focus.
    bool isActive(XWindow window);
    bool waitUntilActive(XWindow window, std::chrono::milliseconds timeout);
    // The client area of a window in screen coordinates.
    ScreenRect clientRect(XWindow window);
    // The window with the frame the window manager put around it, in screen coordinates.
    ScreenRect frameRect(XWindow window);
    // A 32-bit CARDINAL property, nothing when the window does not carry it.
    std::optional<std::uint32_t> cardinalProperty(XWindow window, const char* name);
    // Whether the window may be resized (its minimum and maximum size differ).
    bool resizable(XWindow window);
    Screenshot capture(XWindow window);
    // A picture of the window once it is drawn: not all black, the same twice in a row.
    Screenshot captureDrawn(XWindow window, std::chrono::milliseconds timeout = 3s);
    // The text of the X primary selection (what the user last selected anywhere).
    std::optional<std::string> primarySelection(std::chrono::milliseconds timeout = 2s);
    bool numLockOn();
    bool autoRepeatOn();

    // --- acting (xdotool) --------------------------------------------------------------
    // Keys by X keysym name ("m", "comma", "space", "F1", "KP_1": keypad digits need Num Lock).
    void keyDown(const std::string& key);
    void keyUp(const std::string& key);
    void tap(const std::string& key);
    // Many presses (true) and releases (false) in one go, `gap` apart: a fast player's stream
    // of keys without starting xdotool for each.
    void keyStream(const std::vector<std::pair<std::string, bool>>& events, std::chrono::milliseconds gap);
    void moveMouse(int x, int y);
    void mouseDown(int button = 1);
    void mouseUp(int button = 1);
    void click(int x, int y, int button = 1);
    // Clicks `count` times in quick succession (a triple click selects a line of text).
    void multiClick(int x, int y, int count);
    // Turns the mouse wheel where the pointer is: towards the user (down) or away.
    void wheel(int notches, bool down = true);
    // Turns Num Lock on (Xvfb starts with it off) and checks that it is.
    void ensureNumLock();

private:
    void xdotool(std::vector<std::string> arguments);
    void sync();

    std::filesystem::path workDirectory_;
    std::string display_;
    ChildProcess xvfb_;
    ChildProcess windowManager_;
    Display* connection_ = nullptr;
};

}  // namespace velune::e2e
