// A run of the program built with AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer:
// it starts, plays, opens and closes the help dialog, and closes. At its end it must have freed
// everything of its own; the libraries' one-time allocations are listed in the suppressions.

#include <cstdlib>

#include "scenario.h"

namespace velune::e2e {
namespace {

TEST(Leaks, ASanitizedRunThatPlaysAndClosesFreesEverythingOfItsOwn) {
    const char* sanitized = std::getenv("VELUNE_SANITIZED_PROGRAM");
    if (sanitized == nullptr || *sanitized == '\0') {
        GTEST_SKIP() << "VELUNE_SANITIZED_PROGRAM is not set: the program built with "
                        "-DVELUNE_SANITIZE=ON (scripts/test.sh sets it after that build)";
    }
    ChildEnvironment environment = theRig().programEnvironment();
    environment.set("ASAN_OPTIONS", "detect_leaks=1:fast_unwind_on_malloc=0")
        .set("LSAN_OPTIONS",
             std::string("suppressions=") + VELUNE_LSAN_SUPPRESSIONS + ":print_suppressions=0")
        .set("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1");
    XSession& x = theRig().x();
    Recorder& recorder = theRig().recorder();
    Program program(theRig(), sanitized, environment);
    ASSERT_TRUE(program.waitForWindow(kMainWindowTitle, 60s)) << "the main window did not show\n"
                                                              << program.log();

    // Play: a note, a register, a rest; then the help dialog, opened and closed.
    const std::size_t mark = recorder.indexNow();
    x.tap("m");
    EXPECT_TRUE(recorder.waitForSound(mark, 3s)) << "the note did not sound";
    x.key("e", true);
    x.tap("j");
    x.key("e", false);
    x.tap("space");
    const ScreenRect main = x.clientRect(program.mainWindow());
    x.click(main.x + kCommand1.centerX(), main.y + kCommand1.centerY());
    const std::optional<XWindow> dialog = x.waitForWindow(kBoxTitle, program.pid(), 10s);
    ASSERT_TRUE(dialog) << "no help dialog\n" << program.log();
    const ScreenRect client = x.clientRect(*dialog);
    x.click(client.x + kOkLabel.centerX(), client.y + kOkLabel.centerY());
    EXPECT_TRUE(x.waitUntilGone(*dialog, 10s));
    ASSERT_TRUE(x.waitUntilActive(program.mainWindow(), 10s));

    x.tap("alt+F4");
    const std::optional<int> status = program.process().wait(60s);
    ASSERT_TRUE(status) << "the program did not end\n" << program.log();
    const std::string log = program.log();
    for (const char* report : {"LeakSanitizer", "AddressSanitizer", "runtime error:"}) {
        EXPECT_EQ(log.find(report), std::string::npos) << "the sanitizers found faults:\n" << log;
    }
    EXPECT_EQ(*status, 0) << log;
}

}  // namespace
}  // namespace velune::e2e
