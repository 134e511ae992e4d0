// The home directory: HOME only when it is an absolute path. (Each test runs in a process of
// its own, so changing HOME here touches no other test.)
#include "platform/home_directory.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace kelo {
namespace {

TEST(HomeDirectory, TakesAnAbsoluteHomeAndIgnoresARelativeOrEmptyOne) {
  setenv("HOME", "/somewhere/else", 1);
  EXPECT_EQ(homeDirectory(), "/somewhere/else");
  unsetenv("HOME");
  const auto fromPasswordDatabase = homeDirectory();
  for (const char* ignored : {"relative/home", ""}) {
    setenv("HOME", ignored, 1);
    EXPECT_EQ(homeDirectory(), fromPasswordDatabase) << ignored;
  }
}

}  // namespace
}  // namespace kelo
