// The change gate: the first claim of the outcome wins, and no change runs after it or after an
// ending was asked for.
#include "platform/change_gate.h"

#include <gtest/gtest.h>
#include <signal.h>

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

// Once a change has begun, a stop is only asked for: the first request is kept, and the next
// change is refused.
TEST(ChangeGate, AnEndingAskedForRefusesTheNextChange) {
  EXPECT_FALSE(changes::hasBegun());
  EXPECT_TRUE(changes::apply([] {}));
  EXPECT_TRUE(changes::hasBegun());
  changes::requestEnding(SIGTERM);
  changes::requestEnding(SIGINT);
  EXPECT_EQ(changes::requestedEnding(), SIGTERM);
  EXPECT_FALSE(changes::apply([] { ADD_FAILURE() << "a change after the ending"; }));
}

}  // namespace
}  // namespace kelo
