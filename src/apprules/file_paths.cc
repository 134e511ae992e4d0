#include "apprules/file_paths.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <filesystem>

namespace kelo::apprules {

namespace {

// Enough for any sane chain of links, and an end to loops of them.
constexpr int kMaximumLinkExpansions = 40;

std::deque<std::string> components(std::string_view path) {
  std::deque<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const auto slash = path.find('/', start);
    const auto end = slash == std::string_view::npos ? path.size() : slash;
    if (end > start) {
      parts.emplace_back(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return parts;
}

}  // namespace

std::string appendingPathComponent(std::string_view directory, std::string_view name) {
  std::string path(directory);
  if (path.empty() || path.back() != '/') {
    path += '/';
  }
  path += name;
  return path;
}

std::string absolutePath(std::string_view path) {
  std::string base;
  if (path.empty() || path.front() != '/') {
    std::error_code error;
    base = std::filesystem::current_path(error).string();
  }
  std::string absolute;
  for (const auto& part : components(base)) {
    absolute += '/' + part;
  }
  for (const auto& part : components(path)) {
    absolute += '/' + part;
  }
  return absolute.empty() ? "/" : absolute;
}

bool hasExtension(std::string_view path, std::string_view extension) {
  const auto slash = path.find_last_of('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || name.size() - dot - 1 != extension.size()) {
    return false;
  }
  return std::ranges::equal(name.substr(dot + 1), extension, [](char left, char right) {
    return (left >= 'A' && left <= 'Z' ? left - 'A' + 'a' : left) == right;
  });
}

bool hasAppExtension(std::string_view path) {
  return hasExtension(path, "app");
}

std::optional<std::vector<std::string>> visibleEntries(const std::string& directory) {
  if (directory.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) {
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(listing)) {  // NOLINT(concurrency-mt-unsafe): own stream
    if (entry->d_name[0] != '.') {
      names.emplace_back(entry->d_name);
    }
  }
  closedir(listing);
  return names;
}

std::string resolvingSymlinks(std::string_view absolute) {
  std::deque<std::string> pending = components(absolute);
  std::string resolved;
  int expansions = 0;
  bool exists = true;  // once a prefix is missing, nothing below it can be a link
  while (!pending.empty()) {
    std::string part = std::move(pending.front());
    pending.pop_front();
    if (part == ".") {
      continue;
    }
    if (part == "..") {
      resolved.erase(std::min(resolved.size(), resolved.rfind('/')));
      continue;
    }
    std::string candidate = resolved;
    candidate += '/';
    candidate += part;
    if (exists && part.find('\0') == std::string::npos) {
      struct stat status {};
      if (lstat(candidate.c_str(), &status) != 0) {
        exists = false;
      } else if (S_ISLNK(status.st_mode) && expansions < kMaximumLinkExpansions) {
        std::string target(static_cast<std::size_t>(status.st_size > 0 ? status.st_size : 4096),
                           '\0');
        const ssize_t length = readlink(candidate.c_str(), target.data(), target.size());
        if (length > 0) {
          ++expansions;
          target.resize(static_cast<std::size_t>(length));
          if (target.front() == '/') {
            resolved.clear();
          }
          auto parts = components(target);
          pending.insert(pending.begin(), parts.begin(), parts.end());
          continue;
        }
      }
    }
    resolved = std::move(candidate);
  }
  return resolved.empty() ? "/" : resolved;
}

}  // namespace kelo::apprules
