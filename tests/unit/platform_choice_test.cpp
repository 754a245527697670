#include "app/platform_choice.h"

#include <gtest/gtest.h>

#include <string>

namespace velune {
namespace {

TEST(PlatformChoice, XWaylandWhenOfferedUnlessTheUserChose) {
    const struct {
        const char *chosen, *wayland, *x11, *expected;
    } cases[] = {
        {nullptr, "wayland-0", ":0", "xcb"},  // GNOME on Wayland, with XWayland
        {nullptr, "wayland-0", nullptr, "wayland"},
        {"", "wayland-0", "", "wayland"},
        {nullptr, nullptr, ":0", nullptr},  // an X11 session: Qt's own choice
        {nullptr, "", ":0", nullptr},
        {nullptr, nullptr, nullptr, nullptr},
        {"wayland", "wayland-0", ":0", nullptr},
        {"offscreen", "wayland-0", ":0", nullptr},
    };
    for (const auto& c : cases) {
        const char* got = platformToRequest(c.chosen, c.wayland, c.x11);
        EXPECT_EQ(std::string(got ? got : "(Qt's choice)"),
                  std::string(c.expected ? c.expected : "(Qt's choice)"))
            << (c.chosen ? c.chosen : "-") << " " << (c.wayland ? c.wayland : "-") << " "
            << (c.x11 ? c.x11 : "-");
    }
}

}  // namespace
}  // namespace velune
