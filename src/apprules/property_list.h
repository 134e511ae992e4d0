// Reading one text out of a property list, XML or binary: all the tool needs of a bundle's
// Info.plist is its CFBundleExecutable. Pure (bytes in, text out), any thread; the reading
// never recurses, so that no nesting, however deep, can exhaust the stack.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kelo::apprules {

// A larger Info.plist is not read: a real one is a few kilobytes.
inline constexpr std::size_t kMaximumPropertyListBytes = 1u << 20;

// The string that `key` names in the dictionary at the top of `list`, in UTF-8: an XML property
// list (a "plist" element around a "dict") or a binary one ("bplist00"). Nothing when the bytes
// are neither, when the top is not a dictionary, or when the key is missing or names something
// other than a string.
std::optional<std::string> topLevelString(std::string_view list, std::string_view key);

// The same, of the file at `path`: nothing when it cannot be read or is larger than
// kMaximumPropertyListBytes.
std::optional<std::string> topLevelStringOfFile(const std::string& path, std::string_view key);

}  // namespace kelo::apprules
