// A Wayland desktop (headless Weston). Where it offers XWayland, the program runs on X11, where
// the opacity bar and the X server's auto-repeat work (the other scenarios prove both on X11);
// where it does not, the window still comes up, on Wayland, and the log says that the opacity
// cannot change.

#include <thread>

#include "scenario.h"
#include "weston_session.h"

namespace velune::e2e {
namespace {

constexpr const char* kNoOpacity = "opacity cannot be changed";

struct Desktop {
    const char* name;
    bool xwayland;
};

class Wayland : public ::testing::TestWithParam<Desktop> {};

TEST_P(Wayland, TheWindowComesUpAndOpacityWorksWhereXWaylandRuns) {
    const Desktop desktop = GetParam();
    rig::WestonSession weston(theRig().workDirectory() / desktop.name, desktop.xwayland);
    ChildEnvironment environment = theRig().programEnvironment();
    weston.configure(environment).set("WAYLAND_DEBUG", "client");
    Program program(theRig(), VELUNE_PROGRAM, environment);

    if (desktop.xwayland) {
        EXPECT_TRUE(weston.waitForXWindow(kMainWindowTitle, 15s))
            << "no X11 window through XWayland\n"
            << program.log();
        EXPECT_EQ(program.log().find("xdg_toplevel"), std::string::npos)
            << "the program ran on Wayland although XWayland was there";
    } else {
        EXPECT_TRUE(program.waitForLog("set_title(\"" + std::string(kMainWindowTitle), 15s))
            << "no Wayland window\n"
            << program.log();
    }
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(program.process().running()) << program.log();
    EXPECT_EQ(program.log().find(kNoOpacity) != std::string::npos, !desktop.xwayland)
        << program.log();
}

INSTANTIATE_TEST_SUITE_P(Desktops, Wayland,
                         ::testing::Values(Desktop{"WithXWayland", true},
                                           Desktop{"WaylandOnly", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velune::e2e
