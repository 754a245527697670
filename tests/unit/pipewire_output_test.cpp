// The native PipeWire output without a daemon: no output, and no hang, rather than a stream that
// never plays.

#include "pipewire_output.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "buffer_policy.h"

namespace velune {
namespace {

TEST(PipeWireServer, AnUnreachableDaemonMeansNoOutput) {
    setenv("PIPEWIRE_REMOTE", "velune-no-such-daemon", 1);
    const BufferPolicy policy({64, 3}, false, std::chrono::steady_clock::now());
    EXPECT_EQ(PipeWireOutput::open(nullptr, 48000, policy), nullptr);
    unsetenv("PIPEWIRE_REMOTE");
}

}  // namespace
}  // namespace velune
