// The program as the Debian package installs it (scripts/package-test.sh builds, installs and
// names it): started from its installed place with nothing set up for it, it must find the
// SoundFont its package depends on, show its window and play the note of a key.

#include <cstdlib>
#include <thread>

#include "scenario.h"

namespace velune::e2e {
namespace {

TEST(Installed, TheInstalledProgramPlaysTheNoteOfItsKey) {
    const char* installed = std::getenv("VELUNE_INSTALLED_PROGRAM");
    if (installed == nullptr || *installed == '\0') {
        GTEST_SKIP() << "VELUNE_INSTALLED_PROGRAM is not set: the program installed from the "
                        "package (scripts/package-test.sh sets it to /usr/bin/velune)";
    }
    XSession& x = theRig().x();
    Recorder& recorder = theRig().recorder();
    Program program(theRig(), installed, theRig().programEnvironment());
    ASSERT_TRUE(program.waitForWindow(kMainWindowTitle, 20s)) << "the main window did not show\n"
                                                              << program.log();

    // K is the fifth degree, G above middle C.
    const std::size_t mark = recorder.indexAt(x.key("k", true).at);
    std::this_thread::sleep_for(150ms);
    x.key("k", false);
    std::this_thread::sleep_for(600ms);
    const std::size_t end = recorder.indexNow();
    ASSERT_TRUE(recorder.waitFor(end, 5s)) << "the recording stopped";
    const std::vector<HeardNote> heard = transcribe(recorder.slice(mark, end));
    ASSERT_EQ(heard.size(), 1u) << "heard:" << describe(heard) << '\n' << program.log();
    EXPECT_EQ(heard.front().midi, 67) << program.log();
    // The sound came from the General MIDI SoundFont that the package pulls in, found by itself.
    EXPECT_NE(program.log().find("/usr/share/sounds/sf2/"), std::string::npos) << program.log();

    x.tap("alt+F4");
    const std::optional<int> status = program.process().wait(10s);
    ASSERT_TRUE(status) << "the program did not end\n" << program.log();
    EXPECT_EQ(*status, 0) << program.log();
}

}  // namespace
}  // namespace velune::e2e
