#include "x_session.h"

// Qt before Xlib: Xlib's macros (None, Bool, Status...) would break Qt's headers.
#include <QImage>

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <map>
#include <stdexcept>
#include <thread>

namespace velune::e2e {
namespace {

using Clock = std::chrono::steady_clock;

// Xvfb's own choices: 24-bit colour, no TCP, a fresh server for every session.
constexpr const char* kScreen = "1024x768x24";

int ignoreXErrors(Display*, XErrorEvent*) { return 0; }

template <typename Condition>
bool poll(std::chrono::milliseconds timeout, Condition condition) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(15ms);
    }
}

// Reads the display number that Xvfb writes to its descriptor 3 once it accepts clients.
std::string readDisplayNumber(int fd, std::chrono::milliseconds timeout) {
    std::string text;
    const auto deadline = Clock::now() + timeout;
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd poller{fd, POLLIN, 0};
        if (::poll(&poller, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[32];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    const std::size_t end = text.find('\n');
    if (end == std::string::npos || end == 0) throw std::runtime_error("Xvfb did not start");
    return ":" + text.substr(0, end);
}

}  // namespace

bool Screenshot::savePng(const std::filesystem::path& file) const {
    QImage image(width_, height_, QImage::Format_RGB32);
    for (int y = 0; y < height_; ++y) {
        for (int x = 0; x < width_; ++x) {
            const Rgb c = at(x, y);
            image.setPixel(x, y, qRgb(c.r, c.g, c.b));
        }
    }
    return image.save(QString::fromStdString(file.string()), "PNG");
}

XSession::XSession(const std::filesystem::path& workDirectory) : workDirectory_(workDirectory) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    xvfb_ = ChildProcess({"Xvfb", "-displayfd", "3", "-screen", "0", kScreen, "-nolisten", "tcp",
                          "-noreset"},
                         ChildEnvironment::inherited(), {workDirectory_ / "xvfb.log", ready[1]});
    ::close(ready[1]);
    try {
        display_ = readDisplayNumber(ready[0], 10s);
    } catch (...) {
        ::close(ready[0]);
        throw;
    }
    ::close(ready[0]);

    XSetErrorHandler(ignoreXErrors);
    connection_ = XOpenDisplay(display_.c_str());
    if (connection_ == nullptr) throw std::runtime_error("cannot connect to " + display_);

    windowManager_ = ChildProcess({"openbox", "--sm-disable"}, clientEnvironment(),
                                  {workDirectory_ / "openbox.log"});
    const Atom check = XInternAtom(connection_, "_NET_SUPPORTING_WM_CHECK", False);
    const bool managed = poll(10s, [&] {
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        const bool present = XGetWindowProperty(connection_, DefaultRootWindow(connection_), check,
                                                0, 1, False, XA_WINDOW, &type, &format, &count,
                                                &after, &data) == Success &&
                             count == 1;
        if (data != nullptr) XFree(data);
        return present;
    });
    if (!managed) throw std::runtime_error("openbox did not start");
}

XSession::~XSession() {
    if (connection_ != nullptr) XCloseDisplay(connection_);
    windowManager_.stop();
    xvfb_.stop();
}

ChildEnvironment XSession::clientEnvironment() const {
    ChildEnvironment environment = ChildEnvironment::inherited();
    environment.set("DISPLAY", display_).unset("WAYLAND_DISPLAY").set("HOME", workDirectory_.string());
    environment.set("XDG_CONFIG_HOME", (workDirectory_ / "config").string());
    environment.set("XDG_CACHE_HOME", (workDirectory_ / "cache").string());
    return environment;
}

void XSession::sync() { XSync(connection_, False); }

std::vector<XWindow> XSession::clientWindows() {
    sync();
    const Atom list = XInternAtom(connection_, "_NET_CLIENT_LIST", False);
    Atom type;
    int format;
    unsigned long count = 0, after;
    unsigned char* data = nullptr;
    std::vector<XWindow> windows;
    if (XGetWindowProperty(connection_, DefaultRootWindow(connection_), list, 0, 1024, False,
                           XA_WINDOW, &type, &format, &count, &after, &data) == Success &&
        data != nullptr) {
        const auto* ids = reinterpret_cast<const unsigned long*>(data);
        windows.assign(ids, ids + count);
    }
    if (data != nullptr) XFree(data);
    return windows;
}

std::string XSession::title(XWindow window) {
    const Atom name = XInternAtom(connection_, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(connection_, "UTF8_STRING", False);
    Atom type;
    int format;
    unsigned long count = 0, after;
    unsigned char* data = nullptr;
    std::string text;
    if (XGetWindowProperty(connection_, window, name, 0, 1024, False, utf8, &type, &format, &count,
                           &after, &data) == Success &&
        data != nullptr) {
        text.assign(reinterpret_cast<const char*>(data), count);
    }
    if (data != nullptr) XFree(data);
    return text;
}

pid_t XSession::processOf(XWindow window) {
    return static_cast<pid_t>(cardinalProperty(window, "_NET_WM_PID").value_or(0));
}

bool XSession::exists(XWindow window) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(connection_, window, &attributes) != 0;
}

bool XSession::isViewable(XWindow window) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(connection_, window, &attributes) != 0 &&
           attributes.map_state == IsViewable;
}

std::vector<XWindow> XSession::popupWindows() {
    sync();
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    std::vector<XWindow> popups;
    if (XQueryTree(connection_, DefaultRootWindow(connection_), &root, &parent, &children, &count) != 0) {
        for (unsigned int i = 0; i < count; ++i) {
            XWindowAttributes attributes;
            if (XGetWindowAttributes(connection_, children[i], &attributes) != 0 &&
                attributes.override_redirect && attributes.map_state == IsViewable &&
                attributes.width > 1 && attributes.height > 1) {
                popups.push_back(children[i]);
            }
        }
    }
    if (children != nullptr) XFree(children);
    return popups;
}

std::optional<XWindow> XSession::findWindow(const std::string& wanted, pid_t pid) {
    for (XWindow window : clientWindows()) {
        if (title(window) == wanted && (pid <= 0 || processOf(window) == pid) && isViewable(window)) {
            return window;
        }
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
    sync();
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(connection_, &focus, &revert);
    const Atom active = XInternAtom(connection_, "_NET_ACTIVE_WINDOW", False);
    Atom type;
    int format;
    unsigned long count = 0, after;
    unsigned char* data = nullptr;
    XWindow managerSays = 0;
    if (XGetWindowProperty(connection_, DefaultRootWindow(connection_), active, 0, 1, False,
                           XA_WINDOW, &type, &format, &count, &after, &data) == Success &&
        count == 1) {
        managerSays = *reinterpret_cast<const unsigned long*>(data);
    }
    if (data != nullptr) XFree(data);
    return focus == window && managerSays == window;
}

bool XSession::waitUntilActive(XWindow window, std::chrono::milliseconds timeout) {
    return poll(timeout, [&] { return isActive(window); });
}

ScreenRect XSession::clientRect(XWindow window) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(connection_, window, &attributes);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(connection_, window, DefaultRootWindow(connection_), 0, 0, &x, &y, &child);
    return {x, y, attributes.width, attributes.height};
}

ScreenRect XSession::frameRect(XWindow window) {
    Window root = 0, parent = 0, current = window;
    Window* children = nullptr;
    unsigned int count = 0;
    while (XQueryTree(connection_, current, &root, &parent, &children, &count) != 0) {
        if (children != nullptr) XFree(children);
        children = nullptr;
        if (parent == root || parent == 0) break;
        current = parent;
    }
    return clientRect(current);
}

std::optional<std::uint32_t> XSession::cardinalProperty(XWindow window, const char* name) {
    sync();
    const Atom property = XInternAtom(connection_, name, False);
    Atom type;
    int format;
    unsigned long count = 0, after;
    unsigned char* data = nullptr;
    std::optional<std::uint32_t> value;
    if (XGetWindowProperty(connection_, window, property, 0, 1, False, XA_CARDINAL, &type, &format,
                           &count, &after, &data) == Success &&
        count == 1 && format == 32) {
        value = static_cast<std::uint32_t>(*reinterpret_cast<const unsigned long*>(data));
    }
    if (data != nullptr) XFree(data);
    return value;
}

bool XSession::resizable(XWindow window) {
    XSizeHints hints{};
    long supplied = 0;
    if (XGetWMNormalHints(connection_, window, &hints, &supplied) == 0) return true;
    const bool bounded = (hints.flags & PMinSize) && (hints.flags & PMaxSize);
    return !bounded || hints.min_width != hints.max_width || hints.min_height != hints.max_height;
}

Screenshot XSession::capture(XWindow window) {
    sync();
    XWindowAttributes attributes{};
    XGetWindowAttributes(connection_, window, &attributes);
    XImage* image = XGetImage(connection_, window, 0, 0, static_cast<unsigned>(attributes.width),
                              static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    if (image == nullptr) return {};
    Screenshot shot(attributes.width, attributes.height);
    for (int y = 0; y < attributes.height; ++y) {
        for (int x = 0; x < attributes.width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            shot.set(x, y, {static_cast<std::uint8_t>((pixel & image->red_mask) >> 16),
                            static_cast<std::uint8_t>((pixel & image->green_mask) >> 8),
                            static_cast<std::uint8_t>(pixel & image->blue_mask)});
        }
    }
    XDestroyImage(image);
    return shot;
}

Screenshot XSession::captureDrawn(XWindow window, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    Screenshot previous = capture(window);
    for (;;) {
        std::this_thread::sleep_for(100ms);
        Screenshot next = capture(window);
        if ((next == previous && !next.allBlack()) || Clock::now() >= deadline) return next;
        previous = std::move(next);
    }
}

std::optional<std::string> XSession::primarySelection(std::chrono::milliseconds timeout) {
    const Window requestor = XCreateSimpleWindow(connection_, DefaultRootWindow(connection_), 0, 0,
                                                 1, 1, 0, 0, 0);
    const Atom utf8 = XInternAtom(connection_, "UTF8_STRING", False);
    const Atom target = XInternAtom(connection_, "VELUNE_E2E_SELECTION", False);
    XConvertSelection(connection_, XA_PRIMARY, utf8, target, requestor, CurrentTime);
    XFlush(connection_);
    std::optional<std::string> text;
    XEvent event;
    const bool answered = poll(timeout, [&] {
        return XCheckTypedWindowEvent(connection_, requestor, SelectionNotify, &event) == True;
    });
    if (answered && event.xselection.property != None) {
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
    sync();
    Bool on = False;
    int index = 0;
    Atom name = XInternAtom(connection_, "Num Lock", False);
    if (!XkbGetNamedIndicator(connection_, name, &index, &on, nullptr, nullptr)) return false;
    return on == True;
}

bool XSession::autoRepeatOn() {
    XKeyboardState state{};
    XGetKeyboardControl(connection_, &state);
    return state.global_auto_repeat == AutoRepeatModeOn;
}

void XSession::xdotool(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "xdotool");
    const CommandResult result = runCommand(arguments, clientEnvironment(), 10s);
    if (result.status != 0) throw std::runtime_error("xdotool failed: " + arguments.at(1));
}

namespace {

// xdotool turns a keypad digit into Num Lock pressed around the key, so the key comes up as a
// navigation key with Num Lock off. Its unshifted name presses the same physical key alone, a
// digit with Num Lock on.
std::string physicalKey(const std::string& key) {
    static const std::map<std::string, std::string> keypad{
        {"KP_0", "KP_Insert"}, {"KP_1", "KP_End"},  {"KP_2", "KP_Down"},  {"KP_3", "KP_Next"},
        {"KP_4", "KP_Left"},   {"KP_5", "KP_Begin"}, {"KP_6", "KP_Right"}, {"KP_7", "KP_Home"},
        {"KP_8", "KP_Up"},     {"KP_9", "KP_Prior"}};
    const auto found = keypad.find(key);
    return found == keypad.end() ? key : found->second;
}

}  // namespace

void XSession::keyDown(const std::string& key) { xdotool({"keydown", physicalKey(key)}); }
void XSession::keyUp(const std::string& key) { xdotool({"keyup", physicalKey(key)}); }
void XSession::tap(const std::string& key) { xdotool({"key", physicalKey(key)}); }

void XSession::keyStream(const std::vector<std::pair<std::string, bool>>& events,
                         std::chrono::milliseconds gap) {
    std::vector<std::string> arguments{"xdotool"};
    for (const auto& [key, press] : events) {
        arguments.insert(arguments.end(),
                         {press ? "keydown" : "keyup", "--delay", std::to_string(gap.count()), physicalKey(key)});
    }
    const auto timeout = 10s + 3 * gap * static_cast<long>(events.size());
    const CommandResult result = runCommand(arguments, clientEnvironment(),
                                            std::chrono::duration_cast<std::chrono::milliseconds>(timeout));
    if (result.status != 0) throw std::runtime_error("xdotool failed in a stream of keys");
}

void XSession::moveMouse(int x, int y) {
    // xdotool's --sync waits for a motion, which never comes when the pointer is there already.
    Window root = 0, child = 0;
    int rootX = -1, rootY = -1, windowX = 0, windowY = 0;
    unsigned int buttons = 0;
    if (XQueryPointer(connection_, DefaultRootWindow(connection_), &root, &child, &rootX, &rootY,
                      &windowX, &windowY, &buttons) &&
        rootX == x && rootY == y) {
        return;
    }
    xdotool({"mousemove", "--sync", std::to_string(x), std::to_string(y)});
}

void XSession::mouseDown(int button) { xdotool({"mousedown", std::to_string(button)}); }
void XSession::mouseUp(int button) { xdotool({"mouseup", std::to_string(button)}); }

void XSession::click(int x, int y, int button) {
    moveMouse(x, y);
    xdotool({"click", std::to_string(button)});
}

void XSession::multiClick(int x, int y, int count) {
    moveMouse(x, y);
    xdotool({"click", "--repeat", std::to_string(count), "--delay", "60", "1"});
}

void XSession::wheel(int notches, bool down) {
    xdotool({"click", "--repeat", std::to_string(notches), "--delay", "40", down ? "5" : "4"});
}

void XSession::ensureNumLock() {
    if (!numLockOn()) tap("Num_Lock");
    if (!poll(2s, [&] { return numLockOn(); })) throw std::runtime_error("Num Lock stays off");
}

}  // namespace velune::e2e
