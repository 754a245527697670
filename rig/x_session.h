#pragma once

// A private X display: Xvfb on a free display number with openbox managing it, what a user's
// desktop gives a program (activation, focus, title bars, Alt+F4). The session looks at windows
// through its own Xlib connection and acts like a user through XTEST on it: key presses and
// releases go to whatever has the focus, clicks to what is under the pointer. Each key event
// says when the server acted on it: between sending it and the answer to the round trip after.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"

using Display = struct _XDisplay;

namespace velune::rig {

using XWindow = unsigned long;
using Clock = std::chrono::steady_clock;

struct ScreenRect {
    int x = 0, y = 0, width = 0, height = 0;
    int centerX() const { return x + width / 2; }
    int centerY() const { return y + height / 2; }
};

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
};

struct Screenshot {
    int width = 0, height = 0;
    std::vector<Rgb> pixels;
    Rgb at(int x, int y) const { return pixels[std::size_t(y) * width + x]; }
};

// When the X server acted on an injected event: the middle of the round trip, give or take half.
struct Injection {
    Clock::time_point at;
    std::chrono::nanoseconds halfWidth;
};

class XSession {
  public:
    // Starts Xvfb and openbox; throws std::runtime_error when the display does not come up.
    explicit XSession(const std::filesystem::path& workDirectory);
    ~XSession();
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    // DISPLAY and a quiet, private desktop for a client of this display.
    ChildEnvironment clientEnvironment() const;

    // --- looking -----------------------------------------------------------------------
    // Managed top-level windows (the window manager's client list), oldest first.
    std::vector<XWindow> clientWindows();
    std::string title(XWindow window);
    pid_t processOf(XWindow window);
    bool isViewable(XWindow window);
    // Mapped top-level windows that the window manager does not manage: drop-down lists.
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
    // A 32-bit CARDINAL property, nothing when the window does not carry it.
    std::optional<std::uint32_t> cardinalProperty(XWindow window, const char* name);
    // A picture of the window once it is drawn: not all black, the same twice in a row.
    Screenshot captureDrawn(XWindow window,
                            std::chrono::milliseconds timeout = std::chrono::seconds(3));
    // The text of the X primary selection (what the user last selected anywhere).
    std::optional<std::string> primarySelection();
    bool autoRepeatOn();

    // --- acting (XTEST) ----------------------------------------------------------------
    // Keys by X keysym name ("m", "comma", "space", "F1", "KP_1": keypad digits need Num
    // Lock); "alt+F4" holds the first while it taps the second.
    Injection key(const std::string& keysym, bool press);
    void tap(const std::string& keys);
    // Many presses (true) and releases (false), `gap` apart: a fast player's stream of keys.
    void keyStream(const std::vector<std::pair<std::string, bool>>& events,
                   std::chrono::milliseconds gap);
    // Strikes the keys in turn at a steady pace, one every `spacing`, each held for `hold`, and
    // taps `after` (when given) at each release: a player's phrase. When each key went down.
    std::vector<Injection> play(const std::vector<std::string>& keys,
                                std::chrono::milliseconds spacing, std::chrono::milliseconds hold,
                                const std::string& after = "");
    void moveMouse(int x, int y);
    void button(bool press, int button = 1);
    // Clicks `count` times in quick succession (three select a line of text).
    void click(int x, int y, int count = 1);
    // Drops a list down with a click at (x, y) and picks its item `index` (from 0) with the
    // keys, as a player who knows the list does; true when it opened and closed again.
    bool pickFromList(int x, int y, int index);
    // Turns Num Lock on (Xvfb starts with it off) and checks that it is.
    void ensureNumLock();

  private:
    Screenshot capture(XWindow window);
    bool numLockOn();

    std::filesystem::path workDirectory_;
    std::string display_;
    ChildProcess xvfb_;
    ChildProcess windowManager_;
    ChildProcess bus_;
    std::string busAddress_;
    Display* connection_ = nullptr;
};

}  // namespace velune::rig
