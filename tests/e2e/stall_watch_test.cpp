// When late wake-ups of the stall watch come to a stall of the machine, as a table of wake-ups.

#include "stall_watch.h"

#include <gtest/gtest.h>

#include <vector>

namespace velune::rig {
namespace {

TEST(LostTime, AStallIsTheThresholdLostAtOnceOrInShortStallsCloseTogether) {
    struct Wake {
        double dueMs, lateMs;
    };
    const struct {
        const char* name;
        std::vector<Wake> wakes;
        std::vector<double> stallsLostMs;
    } cases[] = {
        {"one wake-up the threshold late", {{1, 0}, {2, 6}, {9, 0}}, {6}},
        {"one just short of it", {{1, 0}, {2, 4.9}, {8, 0}}, {}},
        {"two short ones within twice the threshold", {{1, 3}, {6, 2.5}}, {5.5}},
        {"two short ones further apart", {{1, 3}, {15, 3}}, {}},
        {"ones under half the threshold (a loaded machine's interrupts) add up to nothing",
         {{1, 2}, {4, 2}, {7, 2}},
         {}},
        {"the timer's own slack, however often",
         {{1, 0.4}, {2, 0.4}, {3, 0.4}, {4, 0.4}, {5, 0.4}, {6, 0.4}, {7, 0.4}, {8, 0.4}, {9, 0.4}},
         {}},
        {"each stall counted once", {{1, 6}, {9, 6}, {16, 1}}, {6, 6}},
    };
    for (const auto& c : cases) {
        LostTime lost(5);
        const std::chrono::steady_clock::time_point start{};
        const auto at = [&](double ms) {
            return start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double, std::milli>(ms));
        };
        std::vector<double> stalls;
        for (const Wake& wake : c.wakes) {
            if (const auto stall = lost.wake(at(wake.dueMs), at(wake.dueMs + wake.lateMs)))
                stalls.push_back(stall->lostMs);
        }
        ASSERT_EQ(stalls.size(), c.stallsLostMs.size()) << c.name;
        for (std::size_t i = 0; i < stalls.size(); ++i)
            EXPECT_NEAR(stalls[i], c.stallsLostMs[i], 1e-6) << c.name;
    }
}

}  // namespace
}  // namespace velune::rig
