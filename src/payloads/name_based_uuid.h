// Name-based UUIDs (version 5: SHA-1 of a namespace and a name), written as Apple's tools write
// UUIDs: upper-case hexadecimal in groups of 8-4-4-4-12. The same name gives the same UUID on
// every machine, so that a configuration profile exported twice is the same profile. Pure.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelo::uuid {

// The SHA-1 digest of `bytes`.
std::array<std::uint8_t, 20> sha1(std::string_view bytes);

// The version 5 UUID of `name` in the namespace of domain names
// (6ba7b810-9dad-11d1-80b4-00c04fd430c8).
std::string nameBased(std::string_view name);

}  // namespace kelo::uuid
