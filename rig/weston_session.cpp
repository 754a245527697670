#include "weston_session.h"

#include <X11/Xlib.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace velune::rig {
namespace {

using Clock = std::chrono::steady_clock;

std::string contentsOf(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Any window below `window` (XWayland reparents nothing, but toolkits nest) named `title`.
bool hasWindowTitled(::Display* display, Window window, const std::string& title) {
    char* name = nullptr;
    if (XFetchName(display, window, &name) && name) {
        const bool match = title == name;
        XFree(name);
        if (match) return true;
    }
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count)) return false;
    bool found = false;
    for (unsigned i = 0; i < count && !found; ++i)
        found = hasWindowTitled(display, children[i], title);
    if (children) XFree(children);
    return found;
}

}  // namespace

WestonSession::WestonSession(const std::filesystem::path& workDirectory, bool withXWayland) {
    const std::filesystem::path runtime = workDirectory / "weston";
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    // XWayland puts its socket where every X server does; Weston does not make the folder.
    ::mkdir("/tmp/.X11-unix", 01777);
    socket_ = runtime / "wayland-velune";
    const std::filesystem::path log = workDirectory / "weston.log";
    std::vector<std::string> argv{"weston", "--backend=headless-backend.so",
                                  "--socket=" + socket_.filename().string(), "--idle-time=0"};
    if (withXWayland) argv.push_back("--xwayland");
    weston_ = ChildProcess(
        argv, ChildEnvironment::inherited().set("XDG_RUNTIME_DIR", runtime.string()), {log});

    const std::regex listening("xserver listening on display (:[0-9]+)");
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::smatch match;
        const std::string text = contentsOf(log);
        const bool socketUp = std::filesystem::exists(socket_);
        if (socketUp && withXWayland && std::regex_search(text, match, listening)) {
            xDisplay_ = match[1];
            return;
        }
        if (socketUp && !withXWayland) return;
        if (Clock::now() > deadline || !weston_.running())
            throw std::runtime_error("Weston did not start:\n" + text);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

ChildEnvironment& WestonSession::configure(ChildEnvironment& environment) const {
    environment.set("WAYLAND_DISPLAY", socket_.string()).unset("QT_QPA_PLATFORM");
    if (xDisplay_) {
        environment.set("DISPLAY", *xDisplay_);
    } else {
        environment.unset("DISPLAY");
    }
    return environment;
}

bool WestonSession::waitForXWindow(const std::string& title,
                                   std::chrono::milliseconds timeout) const {
    if (!xDisplay_) return false;
    ::Display* display = XOpenDisplay(xDisplay_->c_str());
    if (!display) return false;
    const auto deadline = Clock::now() + timeout;
    bool found = false;
    while (!(found = hasWindowTitled(display, DefaultRootWindow(display), title)) &&
           Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    XCloseDisplay(display);
    return found;
}

}  // namespace velune::rig
