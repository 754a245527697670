#include "x_session.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace velune::rig {
namespace {

using namespace std::chrono_literals;

int ignoreXErrors(Display*, XErrorEvent*) { return 0; }

template <typename Condition>
bool poll(std::chrono::milliseconds timeout, Condition condition) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
}

// Reads the display number that Xvfb writes to its descriptor 3 once it accepts clients.
std::string readDisplayNumber(int fd) {
    std::string text;
    pollfd poller{fd, POLLIN, 0};
    char buffer[32];
    while (text.find('\n') == std::string::npos && ::poll(&poller, 1, 10000) > 0) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    const std::size_t end = text.find('\n');
    if (end == std::string::npos || end == 0) throw std::runtime_error("Xvfb did not start");
    return ":" + text.substr(0, end);
}

// The 32-bit items of a window property.
std::vector<unsigned long> property(Display* display, XWindow window, const char* name, Atom type) {
    Atom actualType;
    int format;
    unsigned long count = 0, after;
    unsigned char* data = nullptr;
    std::vector<unsigned long> items;
    if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 1024, False, type,
                           &actualType, &format, &count, &after, &data) == Success &&
        data != nullptr && format == 32) {
        const auto* values = reinterpret_cast<const unsigned long*>(data);
        items.assign(values, values + count);
    }
    if (data != nullptr) XFree(data);
    return items;
}

}  // namespace

XSession::XSession(const std::filesystem::path& workDirectory) : workDirectory_(workDirectory) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    xvfb_ = ChildProcess(
        {"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"},
        ChildEnvironment::inherited(), {workDirectory_ / "xvfb.log", ready[1]});
    ::close(ready[1]);
    display_ = readDisplayNumber(ready[0]);
    XSetErrorHandler(ignoreXErrors);
    connection_ = XOpenDisplay(display_.c_str());
    int event, error, major, minor;
    if (connection_ == nullptr ||
        !XTestQueryExtension(connection_, &event, &error, &major, &minor)) {
        throw std::runtime_error("no X display with XTEST at " + display_);
    }
    // A desktop's session bus. Without one, libdbus in a Qt program forks to launch one itself,
    // and a child forked from a program built with AddressSanitizer can hang on the sanitizer's
    // lock held by another thread at the fork.
    const std::filesystem::path bus = workDirectory_ / "session-bus";
    bus_ = ChildProcess(
        {"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + bus.string()},
        ChildEnvironment::inherited(), {workDirectory_ / "session-bus.log"});
    busAddress_ = "unix:path=" + bus.string();
    if (!poll(10s, [&] { return std::filesystem::exists(bus); }))
        throw std::runtime_error("the session bus did not start");
    windowManager_ = ChildProcess({"openbox", "--sm-disable"}, clientEnvironment(),
                                  {workDirectory_ / "openbox.log"});
    const bool managed = poll(10s, [&] {
        return !property(connection_, DefaultRootWindow(connection_), "_NET_SUPPORTING_WM_CHECK",
                         XA_WINDOW)
                    .empty();
    });
    if (!managed) throw std::runtime_error("openbox did not start");
}

XSession::~XSession() {
    if (connection_ != nullptr) XCloseDisplay(connection_);
    windowManager_.stop();
    bus_.stop();
    xvfb_.stop();
}

ChildEnvironment XSession::clientEnvironment() const {
    ChildEnvironment environment = ChildEnvironment::inherited();
    environment.set("DISPLAY", display_)
        .set("DBUS_SESSION_BUS_ADDRESS", busAddress_)
        .unset("WAYLAND_DISPLAY")
        .set("HOME", workDirectory_.string());
    environment.set("XDG_CONFIG_HOME", (workDirectory_ / "config").string());
    environment.set("XDG_CACHE_HOME", (workDirectory_ / "cache").string());
    return environment;
}

std::vector<XWindow> XSession::clientWindows() {
    XSync(connection_, False);
    return property(connection_, DefaultRootWindow(connection_), "_NET_CLIENT_LIST", XA_WINDOW);
}

std::string XSession::title(XWindow window) {
    const Atom utf8 = XInternAtom(connection_, "UTF8_STRING", False);
    Atom type;
    int format;
    unsigned long count = 0, after;
    unsigned char* data = nullptr;
    std::string text;
    if (XGetWindowProperty(connection_, window, XInternAtom(connection_, "_NET_WM_NAME", False), 0,
                           1024, False, utf8, &type, &format, &count, &after, &data) == Success &&
        data != nullptr) {
        text.assign(reinterpret_cast<const char*>(data), count);
    }
    if (data != nullptr) XFree(data);
    return text;
}

pid_t XSession::processOf(XWindow window) {
    return static_cast<pid_t>(cardinalProperty(window, "_NET_WM_PID").value_or(0));
}

bool XSession::isViewable(XWindow window) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(connection_, window, &attributes) != 0 &&
           attributes.map_state == IsViewable;
}

std::vector<XWindow> XSession::popupWindows() {
    XSync(connection_, False);
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    std::vector<XWindow> popups;
    if (XQueryTree(connection_, DefaultRootWindow(connection_), &root, &parent, &children,
                   &count) != 0) {
        for (unsigned int i = 0; i < count; ++i) {
            XWindowAttributes attributes;
            if (XGetWindowAttributes(connection_, children[i], &attributes) != 0 &&
                attributes.override_redirect && attributes.map_state == IsViewable &&
                attributes.width > 40 && attributes.height > 40) {
                popups.push_back(children[i]);
            }
        }
    }
    if (children != nullptr) XFree(children);
    return popups;
}

std::optional<XWindow> XSession::findWindow(const std::string& wanted, pid_t pid) {
    for (XWindow window : clientWindows()) {
        if (title(window) == wanted && (pid <= 0 || processOf(window) == pid) && isViewable(window))
            return window;
    }
    return std::nullopt;
}

std::optional<XWindow> XSession::waitForWindow(const std::string& wanted, pid_t pid,
                                               std::chrono::milliseconds timeout) {
    std::optional<XWindow> found;
    poll(timeout, [&] { return (found = findWindow(wanted, pid)).has_value(); });
    return found;
}

bool XSession::waitUntilGone(XWindow window, std::chrono::milliseconds timeout) {
    return poll(timeout, [&] { return !isViewable(window); });
}

bool XSession::isActive(XWindow window) {
    XSync(connection_, False);
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(connection_, &focus, &revert);
    const auto active =
        property(connection_, DefaultRootWindow(connection_), "_NET_ACTIVE_WINDOW", XA_WINDOW);
    return focus == window && active.size() == 1 && active.front() == window;
}

bool XSession::waitUntilActive(XWindow window, std::chrono::milliseconds timeout) {
    return poll(timeout, [&] { return isActive(window); });
}

ScreenRect XSession::clientRect(XWindow window) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(connection_, window, &attributes);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(connection_, window, DefaultRootWindow(connection_), 0, 0, &x, &y,
                          &child);
    return {x, y, attributes.width, attributes.height};
}

std::optional<std::uint32_t> XSession::cardinalProperty(XWindow window, const char* name) {
    const auto items = property(connection_, window, name, XA_CARDINAL);
    if (items.size() != 1) return std::nullopt;
    return static_cast<std::uint32_t>(items.front());
}

Screenshot XSession::capture(XWindow window) {
    XSync(connection_, False);
    XWindowAttributes attributes{};
    XGetWindowAttributes(connection_, window, &attributes);
    XImage* image = XGetImage(connection_, window, 0, 0, static_cast<unsigned>(attributes.width),
                              static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    if (image == nullptr) return {};
    Screenshot shot{attributes.width, attributes.height, {}};
    for (int y = 0; y < shot.height; ++y) {
        for (int x = 0; x < shot.width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            shot.pixels.push_back({static_cast<std::uint8_t>((pixel & image->red_mask) >> 16),
                                   static_cast<std::uint8_t>((pixel & image->green_mask) >> 8),
                                   static_cast<std::uint8_t>(pixel & image->blue_mask)});
        }
    }
    XDestroyImage(image);
    return shot;
}

Screenshot XSession::captureDrawn(XWindow window, std::chrono::milliseconds timeout) {
    const auto black = [](const Screenshot& s) {
        return std::all_of(s.pixels.begin(), s.pixels.end(),
                           [](Rgb c) { return c.r + c.g + c.b == 0; });
    };
    const auto same = [](const Screenshot& a, const Screenshot& b) {
        return a.width == b.width && a.height == b.height &&
               std::equal(a.pixels.begin(), a.pixels.end(), b.pixels.begin(),
                          [](Rgb p, Rgb q) { return p.r == q.r && p.g == q.g && p.b == q.b; });
    };
    const auto deadline = Clock::now() + timeout;
    Screenshot previous = capture(window);
    for (;;) {
        std::this_thread::sleep_for(100ms);
        Screenshot next = capture(window);
        if ((same(next, previous) && !black(next)) || Clock::now() >= deadline) return next;
        previous = std::move(next);
    }
}

std::optional<std::string> XSession::primarySelection() {
    const Window requestor =
        XCreateSimpleWindow(connection_, DefaultRootWindow(connection_), 0, 0, 1, 1, 0, 0, 0);
    const Atom target = XInternAtom(connection_, "VELUNE_SELECTION", False);
    XConvertSelection(connection_, XA_PRIMARY, XInternAtom(connection_, "UTF8_STRING", False),
                      target, requestor, CurrentTime);
    XFlush(connection_);
    std::optional<std::string> text;
    XEvent event;
    if (poll(2s,
             [&] {
                 return XCheckTypedWindowEvent(connection_, requestor, SelectionNotify, &event) ==
                        True;
             }) &&
        event.xselection.property != None) {
        Atom type;
        int format;
        unsigned long count = 0, after;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(connection_, requestor, target, 0, 65536, True, AnyPropertyType,
                               &type, &format, &count, &after, &data) == Success &&
            data != nullptr) {
            text = std::string(reinterpret_cast<const char*>(data), count);
        }
        if (data != nullptr) XFree(data);
    }
    XDestroyWindow(connection_, requestor);
    return text;
}

bool XSession::numLockOn() {
    XSync(connection_, False);
    Bool on = False;
    int index = 0;
    return XkbGetNamedIndicator(connection_, XInternAtom(connection_, "Num Lock", False), &index,
                                &on, nullptr, nullptr) &&
           on == True;
}

bool XSession::autoRepeatOn() {
    XKeyboardState state{};
    XGetKeyboardControl(connection_, &state);
    return state.global_auto_repeat == AutoRepeatModeOn;
}

Injection XSession::key(const std::string& keysym, bool press) {
    const KeyCode code = XKeysymToKeycode(connection_, XStringToKeysym(keysym.c_str()));
    if (code == 0) throw std::runtime_error("no key for " + keysym);
    const Clock::time_point sent = Clock::now();
    XTestFakeKeyEvent(connection_, code, press ? True : False, CurrentTime);
    XSync(connection_, False);
    const Clock::time_point answered = Clock::now();
    return {sent + (answered - sent) / 2, (answered - sent) / 2};
}

void XSession::tap(const std::string& keys) {
    const std::size_t plus = keys.find('+');
    const std::string held = plus == std::string::npos ? "" : keys.substr(0, plus);
    const std::string tapped = plus == std::string::npos ? keys : keys.substr(plus + 1);
    if (held == "alt") key("Alt_L", true);
    key(tapped, true);
    key(tapped, false);
    if (held == "alt") key("Alt_L", false);
}

void XSession::keyStream(const std::vector<std::pair<std::string, bool>>& events,
                         std::chrono::milliseconds gap) {
    for (const auto& [keysym, press] : events) {
        key(keysym, press);
        std::this_thread::sleep_for(gap);
    }
}

std::vector<Injection> XSession::play(const std::vector<std::string>& keys,
                                      std::chrono::milliseconds spacing,
                                      std::chrono::milliseconds hold, const std::string& after) {
    std::vector<Injection> presses;
    const auto start = Clock::now() + 20ms;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        std::this_thread::sleep_until(start + i * spacing);
        presses.push_back(key(keys[i], true));
        std::this_thread::sleep_for(hold);
        key(keys[i], false);
        if (!after.empty()) tap(after);
    }
    return presses;
}

void XSession::moveMouse(int x, int y) {
    XTestFakeMotionEvent(connection_, -1, x, y, CurrentTime);
    XSync(connection_, False);
}

void XSession::button(bool press, int button) {
    XTestFakeButtonEvent(connection_, static_cast<unsigned>(button), press ? True : False,
                         CurrentTime);
    XSync(connection_, False);
}

void XSession::click(int x, int y, int count) {
    moveMouse(x, y);
    for (int i = 0; i < count; ++i) {
        button(true);
        button(false);
        std::this_thread::sleep_for(60ms);
    }
}

bool XSession::pickFromList(int x, int y, int index) {
    click(x, y);
    if (!poll(3s, [&] { return !popupWindows().empty(); })) return false;
    tap("Home");
    for (int i = 0; i < index; ++i) tap("Down");
    tap("Return");
    return poll(3s, [&] { return popupWindows().empty(); });
}

void XSession::ensureNumLock() {
    if (!numLockOn()) tap("Num_Lock");
    if (!poll(2s, [&] { return numLockOn(); })) throw std::runtime_error("Num Lock stays off");
}

}  // namespace velune::rig
