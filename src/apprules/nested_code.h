// The code nested in an application bundle that whole-application rules cover: helper tools,
// helper applications, XPC services, extensions and login items, each of which the system may
// attribute to itself rather than to the application. Pure file-system reading on the caller's
// thread (rule building's).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelo::apprules {

// One nested item: a bundle, with its canonical executable when it has one, or a Mach-O
// executable, which is its own executable.
struct NestedItem {
  std::string path;
  std::optional<std::string> executable;

  bool operator==(const NestedItem&) const = default;
};

// The nested code of `bundle`, in this order, each folder's entries sorted by their bytes,
// hidden names and symbolic links passed over:
//   Contents/MacOS/* that are Mach-O executables (the main one among them);
//   Contents/Frameworks/*.app, and Contents/Frameworks/*.framework/Versions/*/Helpers/*
//   (bundles, and Mach-O executables);
//   Contents/XPCServices/*.xpc, Contents/PlugIns/*.appex;
//   Contents/Library/LoginItems/*.app, Contents/Library/LaunchServices/* (Mach-O executables),
//   Contents/Helpers/* (bundles and Mach-O executables).
// A nested bundle's executable is found as a top-level bundle's is under whole-application
// coverage; bundles nested in nested bundles are not searched.
std::vector<NestedItem> nestedCode(const std::string& bundle);

// Whether the file at `path` is a Mach-O executable (see isMachOExecutableHeader).
bool isMachOExecutable(const std::string& path);

// Whether `start`, the first bytes of a file, begins a thin Mach-O executable, of either byte
// order (file type MH_EXECUTE). A universal file is judged by its first architecture: this
// returns false for it and `universalFirstOffset` says where to read on.
bool isMachOExecutableHeader(std::string_view start);

// Where the first architecture of a universal (fat) Mach-O file begins, when `start` opens one:
// 32- or 64-bit fat header, with 1 to 20 architectures (Java's class files share its magic).
std::optional<std::uint64_t> universalFirstOffset(std::string_view start);

}  // namespace kelo::apprules
