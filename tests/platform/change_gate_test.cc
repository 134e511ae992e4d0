// The change gate: the first claim of the outcome wins, and no change runs after it.
#include "platform/change_gate.h"

#include <gtest/gtest.h>

namespace kelo {
namespace {

TEST(ChangeGate, TheFirstClaimWinsAndClosesTheGate) {
  int changes = 0;
  EXPECT_TRUE(changes::apply([&changes] { ++changes; }));
  EXPECT_TRUE(changes::close());
  EXPECT_FALSE(changes::close());
  EXPECT_FALSE(changes::apply([&changes] { ++changes; }));
  EXPECT_EQ(changes, 1);
}

}  // namespace
}  // namespace kelo
