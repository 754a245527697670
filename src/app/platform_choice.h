#pragma once

// Which Qt platform to ask for before the application starts. Qt's Wayland plugin can set no
// window opacity and knows nothing of the X server's auto-repeat, so a session that also offers
// XWayland runs on X11 (xcb); with Wayland only, it runs on Wayland. A platform the user chose
// (QT_QPA_PLATFORM) is never overridden. The arguments are the values of QT_QPA_PLATFORM,
// WAYLAND_DISPLAY and DISPLAY, nullptr when unset; the result is the platform to set, or nullptr
// to leave the choice to Qt.

namespace velune {

inline const char* platformToRequest(const char* chosen, const char* wayland, const char* x11) {
    const auto set = [](const char* value) { return value != nullptr && *value != '\0'; };
    if (set(chosen) || !set(wayland)) {
        return nullptr;
    }
    return set(x11) ? "xcb" : "wayland";
}

}  // namespace velune
