// The end-to-end suite: one rig (display, window manager, audio server, recorder) per run of
// this executable, torn down at the end whatever happened.

#include <gtest/gtest.h>

#include <memory>

#include "scenario.h"

namespace velune::e2e {
namespace {

std::unique_ptr<Rig> theRig;

class RigEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        try {
            theRig = std::make_unique<Rig>(RigConfig{VELUNE_PROGRAM, VELUNE_E2E_ARTIFACTS});
        } catch (const std::exception& error) {
            FAIL() << "the end-to-end rig did not start: " << error.what();
        }
    }
    void TearDown() override { theRig.reset(); }
};

}  // namespace

Rig& rig() {
    if (!theRig) throw std::runtime_error("no rig");
    return *theRig;
}

}  // namespace velune::e2e

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new velune::e2e::RigEnvironment);
    return RUN_ALL_TESTS();
}
