// The end-to-end suite: one rig (display, window manager, audio server, recorder) per run of
// this executable, on the audio server VELUNE_E2E_SERVER names and the sink VELUNE_E2E_SINK
// names (null, tunnel, 44k, 48k, suspend, switch; the null sink when unset), torn down at the end
// whatever happened.

#include <gtest/gtest.h>

#include <memory>

#include "scenario.h"

namespace velune::e2e {
namespace {

std::unique_ptr<Rig> rigOfThisRun;

class RigEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        try {
            rigOfThisRun = std::make_unique<Rig>(
                RigConfig{VELUNE_PROGRAM, serverFromEnvironment(), sinkFromEnvironment()});
        } catch (const std::exception& error) {
            FAIL() << "the end-to-end rig did not start: " << error.what();
        }
    }
    void TearDown() override { rigOfThisRun.reset(); }
};

}  // namespace

Rig& theRig() {
    if (!rigOfThisRun) throw std::runtime_error("no rig");
    return *rigOfThisRun;
}

}  // namespace velune::e2e

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new velune::e2e::RigEnvironment);
    return RUN_ALL_TESTS();
}
