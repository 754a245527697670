#pragma once

// The benchmark's hands and eyes on the X display, with timestamps.
//
// Hands: key and button events go straight into the X server through XTEST on a connection of
// our own. A request is acted on by the server between sending it and the answer to a round trip
// that follows it, so that interval gives both the moment and its uncertainty.
//
// Eyes: a second connection, read on its own thread, listens on the root window for top-level
// windows being mapped (the window manager's frames) and for the active window changing, and
// notes the monotonic time each event arrived.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using Display = struct _XDisplay;

namespace velune::bench {

using Clock = std::chrono::steady_clock;
using XWindow = unsigned long;

struct Injection {
    Clock::time_point at;           // the middle of the interval the server acted in
    std::chrono::nanoseconds halfWidth;
};

struct Activation {
    XWindow window = 0;
    Clock::time_point at;
};

class XProbe {
public:
    // Throws std::runtime_error when the display or its XTEST extension is missing.
    explicit XProbe(const std::string& display);
    ~XProbe();
    XProbe(const XProbe&) = delete;
    XProbe& operator=(const XProbe&) = delete;

    // A key by its X keysym name ("m", "comma", "KP_1", "space", "Down", "Return").
    Injection key(const std::string& keysym, bool press);
    void tap(const std::string& keysym);
    void click(int x, int y);

    // When the top-level window holding `window` (its frame) was first mapped.
    std::optional<Clock::time_point> mappedAt(XWindow window);
    // Waits until a window of process `pid` becomes the active window.
    std::optional<Activation> waitForActive(pid_t pid, std::chrono::milliseconds timeout);
    // Mapped override-redirect windows (menus, drop-down lists) of the screen.
    std::vector<XWindow> popups();
    bool waitForPopup(bool shown, std::chrono::milliseconds timeout);
    // The client area of a window in root coordinates.
    std::pair<int, int> clientOrigin(XWindow window);

private:
    struct Mapped {
        XWindow window;
        Clock::time_point at;
    };
    struct Active {
        XWindow window;
        pid_t pid;
        Clock::time_point at;
    };

    void watch();
    void noteActiveWindow(Clock::time_point at);
    XWindow topLevelOf(XWindow window);

    Display* control_ = nullptr;
    Display* watcher_ = nullptr;
    int wakePipe_[2] = {-1, -1};
    std::atomic<bool> running_{true};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Mapped> mapped_;
    std::vector<Active> activations_;
    std::thread thread_;
};

}  // namespace velune::bench
