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
    EXPECT_EQ(PipeWireOutput::open(nullptr, 48000, BufferSetting{64, 3}), nullptr);
    unsetenv("PIPEWIRE_REMOTE");
}

}  // namespace
}  // namespace velune
