#include <gtest/gtest.h>

#include "sim/state_vector.hpp"

namespace vantelo::sim {
namespace {

TEST(StateVector, StartsInZeroState) {
    StateVector s = StateVector::create(2);
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s.amplitudes[0], (Amplitude{1.0f, 0.0f}));
    EXPECT_EQ(s.amplitudes[3], (Amplitude{0.0f, 0.0f}));
}

}  // namespace
}  // namespace vantelo::sim
