// The server address taken from the peer endpoint. What configuration writes into the
// preferences file is checked by the black-box tests.
#include <gtest/gtest.h>

#include "tunnel/configuration.h"

namespace kelo::tunnel {
namespace {

TEST(EndpointHost, TakesTheHostAndIgnoresThePort) {
  // clang-format off
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"203.0.113.5:443", "203.0.113.5"}, {" 203.0.113.5:443\n", "203.0.113.5"},
      {"\u00a0vpn.example.com:51820\u2028", "vpn.example.com"}, {"[fd00::5]:443", "fd00::5"},
      {"[fd00::5]", "fd00::5"}, {"[fd00::5]junk]", "fd00::5"}, {"fd00::5", "fd00:"},
      {"203.0.113.5", "203.0.113.5"}, {"a:b:c", "a:b"}, {"[]:443", ""}, {":443", ""},
      {"", std::nullopt}, {" \t\r\n", std::nullopt}, {"[fd00::5", std::nullopt},
  };
  // clang-format on
  for (const auto& [endpoint, host] : cases) {
    EXPECT_EQ(endpointHost(endpoint), host) << endpoint;
  }
}

}  // namespace
}  // namespace kelo::tunnel
