// Path and directory helpers behind executable resolution and application discovery:
// composition, the "app" extension test, shallow listings that skip hidden entries, and
// symbolic-link resolution that also works for paths that do not exist. Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelo::apprules {

// `directory` joined with `name`, with one slash between them.
std::string appendingPathComponent(std::string_view directory, std::string_view name);

// An absolute path without repeated or trailing slashes; a relative path is taken relative to
// the current working directory. "." and ".." are kept, and "~" means nothing special.
std::string absolutePath(std::string_view path);

// Whether the last component's extension, lower-cased, is `extension` (given in lower case). A
// name that starts with its only dot has no extension.
bool hasExtension(std::string_view path, std::string_view extension);

// Whether the last component's extension, lower-cased, is "app".
bool hasAppExtension(std::string_view path);

// The names in a directory, in the order the file system yields them, without names that
// begin with "."; nothing when the directory cannot be listed.
std::optional<std::vector<std::string>> visibleEntries(const std::string& directory);

// An absolute path with every symbolic link resolved and "." and ".." removed. The part of
// the path that does not exist is kept as written.
std::string resolvingSymlinks(std::string_view absolute);

}  // namespace kelo::apprules
