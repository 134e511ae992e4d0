#include "apprules/nested_code.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "apprules/executable_resolution.h"
#include "apprules/file_paths.h"

namespace kelo::apprules {

namespace {

constexpr std::uint32_t kMachOMagic = 0xFEEDFACE;
constexpr std::uint32_t kMachOMagic64 = 0xFEEDFACF;
constexpr std::uint32_t kMachOSwapped = 0xCEFAEDFE;
constexpr std::uint32_t kMachOSwapped64 = 0xCFFAEDFE;
constexpr std::uint32_t kFatMagic = 0xCAFEBABE;
constexpr std::uint32_t kFatMagic64 = 0xCAFEBABF;
constexpr std::uint32_t kExecuteFileType = 2;  // MH_EXECUTE
constexpr std::uint32_t kMostArchitectures = 20;
// Enough for every header read here.
constexpr std::size_t kHeaderBytes = 32;

std::uint64_t bigEndian(std::string_view bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t index = 0; index < width; ++index) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + index]);
  }
  return value;
}

std::uint32_t littleEndian32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t index = 4; index-- > 0;) {
    value = value << 8 | static_cast<unsigned char>(bytes[at + index]);
  }
  return value;
}

// Up to kHeaderBytes of the file from `offset`.
std::string headerAt(int descriptor, std::uint64_t offset) {
  std::array<char, kHeaderBytes> buffer{};
  ssize_t got = -1;
  do {
    got = pread(descriptor, buffer.data(), buffer.size(), static_cast<off_t>(offset));
  } while (got < 0 && errno == EINTR);
  return got > 0 ? std::string(buffer.data(), static_cast<std::size_t>(got)) : std::string();
}

enum class Kind { folder, file, other };

// The visible entries of `folder` that are not links, sorted by their bytes, with their kind.
std::vector<std::pair<std::string, Kind>> sortedEntries(const std::string& folder) {
  auto names = visibleEntries(folder).value_or(std::vector<std::string>{});
  std::ranges::sort(names);
  std::vector<std::pair<std::string, Kind>> entries;
  for (auto& name : names) {
    std::string path = appendingPathComponent(folder, name);
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || S_ISLNK(status.st_mode)) {
      continue;
    }
    const Kind kind = S_ISDIR(status.st_mode)   ? Kind::folder
                      : S_ISREG(status.st_mode) ? Kind::file
                                                : Kind::other;
    entries.emplace_back(std::move(path), kind);
  }
  return entries;
}

class NestedCollector {
 public:
  void bundle(const std::string& path) {
    items_.push_back({path, bundleExecutable(path, RuleCoverage::wholeApplication)});
  }
  void executable(const std::string& path) {
    if (isMachOExecutable(path)) {
      items_.push_back({path, resolvingSymlinks(path)});
    }
  }
  // Folders with `extension` in `folder`, as bundles.
  void bundlesIn(const std::string& folder, std::string_view extension) {
    for (const auto& [path, kind] : sortedEntries(folder)) {
      if (kind == Kind::folder && hasExtension(path, extension)) {
        bundle(path);
      }
    }
  }
  // Files in `folder`, as executables; and folders as bundles when `bundles`.
  void itemsIn(const std::string& folder, bool bundles) {
    for (const auto& [path, kind] : sortedEntries(folder)) {
      if (kind == Kind::file) {
        executable(path);
      } else if (kind == Kind::folder && bundles) {
        bundle(path);
      }
    }
  }
  void frameworksIn(const std::string& folder) {
    for (const auto& [path, kind] : sortedEntries(folder)) {
      if (kind != Kind::folder) {
        continue;
      }
      if (hasExtension(path, "app")) {
        bundle(path);
      } else if (hasExtension(path, "framework")) {
        for (const auto& [version, versionKind] :
             sortedEntries(appendingPathComponent(path, "Versions"))) {
          if (versionKind == Kind::folder) {
            itemsIn(appendingPathComponent(version, "Helpers"), true);
          }
        }
      }
    }
  }

  std::vector<NestedItem> items() && { return std::move(items_); }

 private:
  std::vector<NestedItem> items_;
};

}  // namespace

std::optional<std::uint64_t> universalFirstOffset(std::string_view start) {
  if (start.size() < 8) {
    return std::nullopt;
  }
  const auto magic = bigEndian(start, 0, 4);
  const auto architectures = bigEndian(start, 4, 4);
  if ((magic != kFatMagic && magic != kFatMagic64) || architectures == 0 ||
      architectures > kMostArchitectures) {
    return std::nullopt;
  }
  // fat_arch: cputype, cpusubtype, then the offset (4 bytes, or 8 in fat_arch_64).
  const std::size_t width = magic == kFatMagic64 ? 8 : 4;
  if (start.size() < 16 + width) {
    return std::nullopt;
  }
  return bigEndian(start, 16, width);
}

bool isMachOExecutableHeader(std::string_view start) {
  if (start.size() < 16) {
    return false;
  }
  const auto magic = bigEndian(start, 0, 4);
  if (magic == kMachOMagic || magic == kMachOMagic64) {
    return bigEndian(start, 12, 4) == kExecuteFileType;
  }
  if (magic == kMachOSwapped || magic == kMachOSwapped64) {
    return littleEndian32(start, 12) == kExecuteFileType;
  }
  return false;
}

bool isMachOExecutable(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return false;
  }
  const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) {
    return false;
  }
  struct stat status {};
  bool executable = false;
  if (fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
    std::string header = headerAt(descriptor, 0);
    if (const auto first = universalFirstOffset(header)) {
      header = headerAt(descriptor, *first);
    }
    executable = isMachOExecutableHeader(header);
  }
  close(descriptor);
  return executable;
}

std::vector<NestedItem> nestedCode(const std::string& bundle) {
  const std::string contents = appendingPathComponent(bundle, "Contents");
  const auto inContents = [&](std::string_view relative) {
    return appendingPathComponent(contents, relative);
  };
  NestedCollector collector;
  collector.itemsIn(inContents("MacOS"), false);
  collector.frameworksIn(inContents("Frameworks"));
  collector.bundlesIn(inContents("XPCServices"), "xpc");
  collector.bundlesIn(inContents("PlugIns"), "appex");
  collector.bundlesIn(inContents("Library/LoginItems"), "app");
  collector.itemsIn(inContents("Library/LaunchServices"), false);
  collector.itemsIn(inContents("Helpers"), true);
  return std::move(collector).items();
}

}  // namespace kelo::apprules
