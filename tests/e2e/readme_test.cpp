// The README's picture of the window is the window as it is: the program shows what the picture
// shows, but for a few pixels of font smoothing. When the window changes on purpose, the new
// picture is left beside the test's recordings, to take into docs/.

#include <filesystem>
#include <string>

#include "scenario.h"

namespace velune::e2e {
namespace {

using Readme = Scenario;

TEST_F(Readme, ThePictureOfTheWindowIsTheWindow) {
    const std::filesystem::path shot = std::filesystem::path(VELUNE_E2E_ARTIFACTS) / "window.png";
    std::filesystem::create_directories(shot.parent_path());
    const ChildEnvironment environment = theRig().programEnvironment();
    // As a person sees it: once it is drawn (an active window may not have painted yet).
    x().captureDrawn(mainWindow());
    ASSERT_EQ(runCommand({"import", "-window", std::to_string(mainWindow()), shot.string()},
                         environment)
                  .status,
              0);
    // ImageMagick says how many pixels differ by more than the fuzz, on standard error.
    const CommandResult compared =
        runCommand({"sh", "-c",
                    "compare -metric AE -fuzz 25% \"$0\" \"$1\" null: 2>&1", VELUNE_README_PICTURE,
                    shot.string()},
                   environment);
    ASSERT_NE(compared.status, -1);
    const double differing = std::stod(compared.output.empty() ? "-1" : compared.output);
    ASSERT_GE(differing, 0) << compared.output;
    EXPECT_LT(differing, 400) << "the window no longer looks like docs/window.png; if it changed "
                                 "on purpose, copy "
                              << shot.string() << " there";
}

}  // namespace
}  // namespace velune::e2e
