// Text helpers shared by the per-app rules and the profile configuration: Unicode white-space
// trimming and the comparison of paths as Unicode scalar values after canonical composition.
// Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace kelo::text {

// Removes white space and line breaks from both ends: the separators Zs, Zl and Zp, and
// U+0009 to U+000D and U+0085. Bytes that are not valid UTF-8 are never removed.
std::string_view trimmedWhitespace(std::string_view text);

// The form in which paths are compared and sorted: the NFC form of valid UTF-8, whose byte
// order is the order of Unicode scalar values; anything else compares as its own bytes.
std::string comparisonKey(std::string_view path);

// Bytes that are well-formed UTF-8.
bool isValidUTF8(std::string_view text);

}  // namespace kelo::text
