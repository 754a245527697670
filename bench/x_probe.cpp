#include "x_probe.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <stdexcept>

namespace velune::bench {
namespace {

std::optional<unsigned long> windowProperty(Display* display, XWindow window, const char* name,
                                            Atom type) {
    const Atom property = XInternAtom(display, name, False);
    Atom actualType;
    int format;
    unsigned long count = 0, after;
    unsigned char* data = nullptr;
    std::optional<unsigned long> value;
    if (XGetWindowProperty(display, window, property, 0, 1, False, type, &actualType, &format, &count,
                           &after, &data) == Success &&
        count == 1 && format == 32) {
        value = *reinterpret_cast<const unsigned long*>(data);
    }
    if (data != nullptr) XFree(data);
    return value;
}

}  // namespace

XProbe::XProbe(const std::string& display) {
    control_ = XOpenDisplay(display.c_str());
    watcher_ = XOpenDisplay(display.c_str());
    int event, error, major, minor;
    if (control_ == nullptr || watcher_ == nullptr ||
        !XTestQueryExtension(control_, &event, &error, &major, &minor)) {
        if (control_ != nullptr) XCloseDisplay(control_);
        if (watcher_ != nullptr) XCloseDisplay(watcher_);
        throw std::runtime_error("no X display with XTEST at " + display);
    }
    XSelectInput(watcher_, DefaultRootWindow(watcher_), SubstructureNotifyMask | PropertyChangeMask);
    XSync(watcher_, False);
    if (::pipe2(wakePipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    thread_ = std::thread([this] { watch(); });
}

XProbe::~XProbe() {
    running_ = false;
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(wakePipe_[1], &byte, 1);
    thread_.join();
    ::close(wakePipe_[0]);
    ::close(wakePipe_[1]);
    XCloseDisplay(watcher_);
    XCloseDisplay(control_);
}

Injection XProbe::key(const std::string& keysym, bool press) {
    const KeyCode code = XKeysymToKeycode(control_, XStringToKeysym(keysym.c_str()));
    if (code == 0) throw std::runtime_error("no key for " + keysym);
    const Clock::time_point sent = Clock::now();
    XTestFakeKeyEvent(control_, code, press ? True : False, CurrentTime);
    XSync(control_, False);
    const Clock::time_point answered = Clock::now();
    return {sent + (answered - sent) / 2, (answered - sent) / 2};
}

void XProbe::tap(const std::string& keysym) {
    key(keysym, true);
    key(keysym, false);
}

void XProbe::click(int x, int y) {
    XTestFakeMotionEvent(control_, -1, x, y, CurrentTime);
    XTestFakeButtonEvent(control_, 1, True, CurrentTime);
    XTestFakeButtonEvent(control_, 1, False, CurrentTime);
    XSync(control_, False);
}

void XProbe::watch() {
    const int fd = ConnectionNumber(watcher_);
    const Atom activeWindow = XInternAtom(watcher_, "_NET_ACTIVE_WINDOW", False);
    Clock::time_point arrived = Clock::now();
    while (running_) {
        while (XPending(watcher_) > 0) {
            XEvent event;
            XNextEvent(watcher_, &event);
            if (event.type == MapNotify) {
                std::lock_guard lock(mutex_);
                mapped_.push_back({event.xmap.window, arrived});
                changed_.notify_all();
            } else if (event.type == PropertyNotify && event.xproperty.atom == activeWindow) {
                noteActiveWindow(arrived);
            }
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        ::poll(fds, 2, -1);
        arrived = Clock::now();
    }
}

void XProbe::noteActiveWindow(Clock::time_point at) {
    const auto window = windowProperty(watcher_, DefaultRootWindow(watcher_), "_NET_ACTIVE_WINDOW", XA_WINDOW);
    if (!window || *window == 0) return;
    const auto pid = windowProperty(watcher_, *window, "_NET_WM_PID", XA_CARDINAL);
    std::lock_guard lock(mutex_);
    activations_.push_back({*window, pid ? static_cast<pid_t>(*pid) : 0, at});
    changed_.notify_all();
}

std::optional<Activation> XProbe::waitForActive(pid_t pid, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::optional<Activation> found;
    changed_.wait_for(lock, timeout, [&] {
        for (const Active& a : activations_) {
            if (a.pid == pid) {
                found = Activation{a.window, a.at};
                return true;
            }
        }
        return false;
    });
    return found;
}

XWindow XProbe::topLevelOf(XWindow window) {
    Window root = 0, parent = 0, current = window;
    Window* children = nullptr;
    unsigned int count = 0;
    while (XQueryTree(control_, current, &root, &parent, &children, &count) != 0) {
        if (children != nullptr) XFree(children);
        children = nullptr;
        if (parent == root || parent == 0) break;
        current = parent;
    }
    return current;
}

std::optional<Clock::time_point> XProbe::mappedAt(XWindow window) {
    const XWindow top = topLevelOf(window);
    std::lock_guard lock(mutex_);
    for (const Mapped& m : mapped_) {
        if (m.window == top) return m.at;
    }
    return std::nullopt;
}

std::vector<XWindow> XProbe::popups() {
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    std::vector<XWindow> found;
    if (XQueryTree(control_, DefaultRootWindow(control_), &root, &parent, &children, &count) == 0) {
        return found;
    }
    for (unsigned int i = 0; i < count; ++i) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(control_, children[i], &attributes) != 0 &&
            attributes.override_redirect && attributes.map_state == IsViewable &&
            attributes.width > 40 && attributes.height > 40) {
            found.push_back(children[i]);
        }
    }
    if (children != nullptr) XFree(children);
    return found;
}

bool XProbe::waitForPopup(bool shown, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (popups().empty() != shown) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::pair<int, int> XProbe::clientOrigin(XWindow window) {
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(control_, window, DefaultRootWindow(control_), 0, 0, &x, &y, &child);
    return {x, y};
}

}  // namespace velune::bench
