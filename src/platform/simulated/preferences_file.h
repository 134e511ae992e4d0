// The file that holds the simulated platform's VPN preferences, and its locked
// read-modify-write. Used only by the simulated NetworkExtension, on whichever thread calls it.
#pragma once

#include <expected>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform_error.h"

namespace kelo::simulator {

// Kept as an ordered document, so that members the simulator does not own are written back
// exactly as they were.
using Document = nlohmann::ordered_json;

// The document that `contents` hold, checked as every read checks it: valid JSON of at most
// 16 MiB, at most 64 levels deep, profiles that are objects with a text identifier. `path`
// names it in errors. Pure: bytes in, document or error out.
std::expected<Document, PlatformError> parsePreferences(std::string_view contents,
                                                        const std::string& path);

// The whole document of `<home>/.local/state/kelo-ne-manager/vpn-preferences.json` as it is
// now; a missing file reads as no profiles and no faults. A
// document that is not valid JSON, or whose profiles are malformed, is an error.
std::expected<Document, PlatformError> readPreferences();

// Under the exclusive lock: reads the document, lets `change` edit it and, when `change`
// answers true, writes it to a temporary file that is flushed and renamed over the old one.
// An error from `change` is returned and nothing is written. Where the folder does not exist
// yet, `change` is first shown the empty document without the lock: only when it answers true
// is the folder created, and `change` then runs again, under the lock, on what is read there.
std::expected<void, PlatformError> updatePreferences(
    const std::function<std::expected<bool, PlatformError>(Document&)>& change);

// What tells one state of the file from another, as the system reports it without reading the
// file: every write (the simulator's rename of a new file, or a test's write in place) changes
// it. A missing or unreachable file has none.
struct FileStamp {
  unsigned long long device = 0;
  unsigned long long inode = 0;
  long long size = 0;
  long long modifiedSeconds = 0;
  long long modifiedNanoseconds = 0;
  long long changedSeconds = 0;
  long long changedNanoseconds = 0;

  bool operator==(const FileStamp&) const = default;
};

// The file's path, found as every read finds it.
std::expected<std::string, PlatformError> preferencesPath();

std::optional<FileStamp> stampOf(const std::string& path);

// The platform error for a described failure.
PlatformError platformError(std::string description);

}  // namespace kelo::simulator
