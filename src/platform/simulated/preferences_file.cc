#include "platform/simulated/preferences_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>
#include <unordered_map>

#include "platform/bounded_json.h"
#include "platform/change_gate.h"
#include "platform/descriptors.h"
#include "platform/errno_text.h"
#include "platform/home_directory.h"
#include "platform/lock_file.h"
#include "platform/signals_blocked.h"
#include "platform/store_lock.h"

namespace kelo::simulator {

namespace {

constexpr char kFolder[] = "/.local/state/kelo-ne-manager";
constexpr char kFileName[] = "/vpn-preferences.json";
// Temporary files carry a name no user picks by chance, and six random characters after it.
constexpr std::string_view kTemporaryPrefix = ".vpn-preferences.json.kelo-ne-manager-write-";
constexpr std::size_t kTemporarySuffixLength = 6;
constexpr char kLockName[] = "/vpn-preferences.lock";
// Far beyond any real file, and small enough that reading it costs nothing that matters.
constexpr std::size_t kMaximumFileBytes = 16u << 20;
// A real file nests five levels deep; the limit keeps parsing and writing off the deep end.
constexpr int kMaximumDepth = 64;

std::unexpected<PlatformError> unreadable(const std::string& why) {
  return std::unexpected(platformError("The VPN preferences could not be read: " + why));
}

std::unexpected<PlatformError> unwritable(const std::string& why) {
  return std::unexpected(platformError("The VPN preferences could not be written: " + why));
}

std::expected<std::string, PlatformError> folderPath() {
  const auto home = homeDirectory();
  if (!home) {
    return unreadable("the home directory is unknown.");
  }
  return *home + kFolder;
}

// Every profile must be an object with a text identifier, and a protocol, where one is
// given, an object that says its type.
std::expected<void, PlatformError> validate(const Document& document) {
  if (!document.is_object()) {
    return unreadable("the document is not a JSON object.");
  }
  const auto profiles = document.find("profiles");
  if (profiles == document.end() || profiles->is_null()) {
    return {};
  }
  if (!profiles->is_array()) {
    return unreadable("\"profiles\" is not a list.");
  }
  // An identifier names one profile: a change to a profile whose identifier another one shares
  // would land on whichever comes first, perhaps another application's.
  std::set<std::string> identifiers;
  for (std::size_t index = 0; index < profiles->size(); ++index) {
    const auto& profile = (*profiles)[index];
    const std::string which = "profile " + std::to_string(index);
    if (!profile.is_object()) {
      return unreadable(which + " is not an object.");
    }
    const auto identifier = profile.find("identifier");
    if (identifier == profile.end() || !identifier->is_string()) {
      return unreadable(which + " has no text \"identifier\".");
    }
    if (!identifiers.insert(identifier->get<std::string>()).second) {
      return unreadable(which + " has the \"identifier\" of an earlier profile.");
    }
    const auto protocol = profile.find("protocol");
    if (protocol != profile.end() && !protocol->is_null()) {
      const auto type = protocol->find("type");
      if (!protocol->is_object() || type == protocol->end() || !type->is_string()) {
        return unreadable(which + " has a \"protocol\" without a text \"type\".");
      }
    }
  }
  return {};
}

// The folder must belong to the user and be writable by nobody else: in a shared location
// another user could otherwise swap what the tool reads and writes. A missing folder passes.
std::expected<void, PlatformError> checkFolder(
    const std::string& folder, std::unexpected<PlatformError> (*failure)(const std::string&)) {
  struct stat status {};
  if (lstat(folder.c_str(), &status) != 0) {
    return errno == ENOENT ? std::expected<void, PlatformError>{}
                           : failure(folder + ": " + errnoText(errno) + ".");
  }
  if (!S_ISDIR(status.st_mode)) {
    return failure(folder + " is not a folder.");
  }
  if (status.st_uid != geteuid() || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return failure(folder + " is not owned by the user, or others may write to it.");
  }
  return {};
}

std::expected<json::Parsed<Document>, PlatformError> parseFile(std::string_view contents,
                                                               const std::string& path) {
  using Kind = json::ParseFailure::Kind;
  auto parsed = json::parse<Document>(contents, {kMaximumFileBytes, kMaximumDepth});
  if (!parsed) {
    switch (parsed.error().kind) {
      case Kind::tooLarge:
        return unreadable(path + " is larger than " + std::to_string(kMaximumFileBytes >> 20) +
                          " MiB.");
      case Kind::tooDeep:
        return unreadable(path + " nests deeper than " + std::to_string(kMaximumDepth) +
                          " levels.");
      default:
        return unreadable(path + " is not valid JSON.");
    }
  }
  if (auto valid = validate(parsed->document); !valid) {
    return std::unexpected(valid.error());
  }
  return std::move(*parsed);
}

// The text of every number that a write would otherwise change, by the bits of its value. The
// document holds a number as a double and writes it in its shortest form: another provider's
// 123456789012345678901234567890 would come back as 1.2345678901234568e+29, and its 0.10 as
// 0.1. Where two texts have one value, the first one read is written for both.
using NumberTexts = std::unordered_map<std::uint64_t, std::string>;

NumberTexts numberTextsOf(const json::Parsed<Document>& parsed) {
  NumberTexts texts;
  for (const auto& [pointer, text] : parsed.numberTexts) {
    // A member named again may have replaced the number with something else, or with nothing.
    const Document::json_pointer where(pointer);
    if (!parsed.document.contains(where)) {
      continue;
    }
    const Document& number = parsed.document.at(where);
    if (number.is_number_float() && number.dump() != text) {
      texts.emplace(std::bit_cast<std::uint64_t>(number.get<double>()), text);
    }
  }
  return texts;
}

std::string textOf(const Document& scalar) {
  return scalar.dump(-1, ' ', false, Document::error_handler_t::replace);
}

// The document as it is written, indented by two spaces, with the numbers as they were read.
void writeDocument(const Document& value, const NumberTexts& texts, std::size_t level,
                   std::string& text) {
  const bool object = value.is_object();
  if ((!object && !value.is_array()) || value.empty()) {
    const auto kept = value.is_number_float()
                          ? texts.find(std::bit_cast<std::uint64_t>(value.get<double>()))
                          : texts.end();
    text += kept != texts.end() ? kept->second : textOf(value);
    return;
  }
  text += object ? "{\n" : "[\n";
  for (auto member = value.begin(); member != value.end(); ++member) {
    if (member != value.begin()) {
      text += ",\n";
    }
    text.append(2 * (level + 1), ' ');
    if (object) {
      text += textOf(Document(member.key())) + ": ";
    }
    writeDocument(member.value(), texts, level + 1, text);
  }
  text += '\n';
  text.append(2 * level, ' ');
  text += object ? '}' : ']';
}

std::expected<Document, PlatformError> readFile(const std::string& path,
                                                NumberTexts* numberTexts = nullptr) {
  // Never through a link, and never waiting on a FIFO or a device that has no end.
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (descriptor < 0) {
    if (errno == ENOENT) {
      return Document{{"profiles", Document::array()}};
    }
    if (errno == ELOOP) {
      return unreadable(path + " is a symbolic link.");
    }
    return unreadable(path + ": " + errnoText(errno) + ".");
  }
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(descriptor);
    return unreadable(path + " is not a regular file.");
  }
  std::string contents;
  const bool complete = readToEnd(descriptor, contents, kMaximumFileBytes);
  const int error = errno;
  close(descriptor);
  if (!complete) {
    return unreadable(path + ": " + errnoText(error) + ".");
  }
  auto parsed = parseFile(contents, path);
  if (!parsed) {
    return std::unexpected(parsed.error());
  }
  if (numberTexts != nullptr) {
    *numberTexts = numberTextsOf(*parsed);
  }
  return std::move(parsed->document);
}

// Creates the folder and those missing above it, each mode 0700 whatever the umask: a folder
// the umask left without its owner's write bit would refuse every later write.
bool makeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0700) == 0) {
      if (chmod(prefix.c_str(), 0700) != 0) {
        return false;
      }
    } else if (errno != EEXIST) {
      return false;
    }
    if (slash == std::string::npos) {
      return true;
    }
  }
}

// Whether the folder is there (anything by that name counts: checkFolder judges it).
bool folderExists(const std::string& folder) {
  struct stat status {};
  return lstat(folder.c_str(), &status) == 0 || errno != ENOENT;
}

// Creates the store's folder, and those missing above it, only in a home that belongs to the
// user: a run as root with the user's HOME (a root helper, sudo -E) must not leave the user's
// own ~/.local to root. A home that does not exist yet is the user's to make.
std::expected<void, PlatformError> makeStoreFolder(const std::string& folder) {
  if (const auto home = homeDirectory()) {
    struct stat status {};
    if (lstat(home->c_str(), &status) == 0 && status.st_uid != geteuid()) {
      return unwritable(*home + " belongs to another user; nothing is created in it.");
    }
  }
  if (!makeFolders(folder)) {
    return unwritable(folder + ": " + errnoText(errno) + ".");
  }
  return {};
}

// Writes next to the file and renames over it, so readers see the old or the new document.
std::expected<void, PlatformError> replaceFile(const std::string& folder, const std::string& path,
                                               const Document& document,
                                               const NumberTexts& numberTexts) {
  std::string temporary =
      folder + "/" + std::string(kTemporaryPrefix) + std::string(kTemporarySuffixLength, 'X');
  int descriptor = -1;
  {
    // Noted for the handler that may end the run while the file exists.
    const SignalsBlocked blocked;
    descriptor = mkostemp(temporary.data(), O_CLOEXEC);
    if (descriptor >= 0) {
      changes::noteScratchFile(temporary.c_str());
    }
  }
  // The file's mode is 0600 whatever the umask.
  if (descriptor >= 0 && fchmod(descriptor, 0600) != 0) {
    const int error = errno;
    close(descriptor);
    unlink(temporary.c_str());
    changes::forgetScratchFile();
    return unwritable(temporary + ": " + errnoText(error) + ".");
  }
  if (descriptor < 0) {
    return unwritable(folder + ": " + errnoText(errno) + ".");
  }
  // Text that is not valid UTF-8 never reaches the file: such bytes are written as U+FFFD.
  std::string text;
  writeDocument(document, numberTexts, 0, text);
  text += '\n';
  const bool stored = writeAll(descriptor, text) && fsync(descriptor) == 0;
  const int error = errno;
  close(descriptor);
  bool renamed = false;
  int failure = error;
  if (stored) {
    const SignalsBlocked blocked;
    renamed = rename(temporary.c_str(), path.c_str()) == 0;
    failure = errno;
    if (renamed) {
      changes::forgetScratchFile();
    }
  }
  if (!renamed) {
    unlink(temporary.c_str());
    changes::forgetScratchFile();
    return unwritable(path + ": " + errnoText(failure) + ".");
  }
  if (const int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      directory >= 0) {
    fsync(directory);
    close(directory);
  }
  return {};
}

// A temporary file exists only while its writer holds the lock, so one found under the lock
// was left by a process that ended halfway through a write.
void removeOrphanedTemporaries(const std::string& folder) {
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) {
    return;
  }
  while (const dirent* entry = readdir(listing)) {  // NOLINT(concurrency-mt-unsafe): own stream
    const std::string_view name(entry->d_name);
    struct stat status {};
    if (name.starts_with(kTemporaryPrefix) &&
        name.size() == kTemporaryPrefix.size() + kTemporarySuffixLength &&
        fstatat(dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode)) {
      unlinkat(dirfd(listing), entry->d_name, 0);
    }
  }
  closedir(listing);
}

class FileLock {
 public:
  // Mode 0600 whatever the umask; what stands in its place and is no lock file is replaced.
  explicit FileLock(const std::string& path) : descriptor_(openLockFile(path, O_CREAT)) {
    if (descriptor_ >= 0) {
      fchmod(descriptor_, 0600);
      while (flock(descriptor_, LOCK_EX) != 0) {
        if (errno != EINTR) {
          close(descriptor_);
          descriptor_ = -1;
          break;
        }
      }
    }
  }
  ~FileLock() {
    if (descriptor_ >= 0) {
      close(descriptor_);  // closing releases the lock
    }
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return descriptor_ >= 0; }

 private:
  int descriptor_;
};

}  // namespace

std::expected<Document, PlatformError> parsePreferences(std::string_view contents,
                                                        const std::string& path) {
  auto parsed = parseFile(contents, path);
  if (!parsed) {
    return std::unexpected(parsed.error());
  }
  return std::move(parsed->document);
}

}  // namespace kelo::simulator

namespace kelo {

// One store of profiles per preferences folder, that is per home: its lock lives beside the
// preferences, in the folder only the user may write to.
std::expected<std::optional<std::string>, PlatformError> profileStoreFolder(bool create) {
  const auto folder = simulator::folderPath();
  if (!folder) {
    return std::unexpected(folder.error());
  }
  if (!simulator::folderExists(*folder)) {
    if (!create) {
      return std::nullopt;
    }
    if (auto made = simulator::makeStoreFolder(*folder); !made) {
      return std::unexpected(made.error());
    }
  }
  if (auto safe = simulator::checkFolder(*folder, simulator::unwritable); !safe) {
    return std::unexpected(safe.error());
  }
  return folder;
}

}  // namespace kelo

namespace kelo::simulator {

PlatformError platformError(std::string description) {
  return PlatformError{std::move(description)};
}

std::expected<std::string, PlatformError> preferencesPath() {
  const auto folder = folderPath();
  if (!folder) {
    return folder;
  }
  return *folder + kFileName;
}

// A file's times to the nanosecond, named as the system names them: Darwin's own names, or
// POSIX's.
template <class Status>
timespec modifiedTime(const Status& status) {
  if constexpr (requires { status.st_mtimespec; }) {
    return status.st_mtimespec;
  } else {
    return status.st_mtim;
  }
}

template <class Status>
timespec changedTime(const Status& status) {
  if constexpr (requires { status.st_ctimespec; }) {
    return status.st_ctimespec;
  } else {
    return status.st_ctim;
  }
}

std::optional<FileStamp> stampOf(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    return std::nullopt;
  }
  const timespec modified = modifiedTime(status);
  const timespec changed = changedTime(status);
  return FileStamp{.device = static_cast<unsigned long long>(status.st_dev),
                   .inode = static_cast<unsigned long long>(status.st_ino),
                   .size = static_cast<long long>(status.st_size),
                   .modifiedSeconds = static_cast<long long>(modified.tv_sec),
                   .modifiedNanoseconds = static_cast<long long>(modified.tv_nsec),
                   .changedSeconds = static_cast<long long>(changed.tv_sec),
                   .changedNanoseconds = static_cast<long long>(changed.tv_nsec)};
}

std::expected<Document, PlatformError> readPreferences() {
  const auto folder = folderPath();
  if (!folder) {
    return std::unexpected(folder.error());
  }
  if (auto safe = checkFolder(*folder, unreadable); !safe) {
    return std::unexpected(safe.error());
  }
  return readFile(*folder + kFileName);
}

std::expected<void, PlatformError> updatePreferences(
    const std::function<std::expected<bool, PlatformError>(Document&)>& change) {
  const auto folder = folderPath();
  if (!folder) {
    return std::unexpected(folder.error());
  }
  // Without a folder there is no file: a change that finds nothing to change in no profiles
  // creates nothing.
  if (!folderExists(*folder)) {
    Document none{{"profiles", Document::array()}};
    const auto changed = change(none);
    if (!changed || !*changed) {
      return changed ? std::expected<void, PlatformError>{} : std::unexpected(changed.error());
    }
    if (auto made = makeStoreFolder(*folder); !made) {
      return made;
    }
  }
  if (auto safe = checkFolder(*folder, unwritable); !safe) {
    return std::unexpected(safe.error());
  }
  const FileLock lock(*folder + kLockName);
  if (!lock.held()) {
    return unwritable(*folder + kLockName + ": " + errnoText(errno) + ".");
  }
  removeOrphanedTemporaries(*folder);
  const std::string path = *folder + kFileName;
  NumberTexts numberTexts;
  auto document = readFile(path, &numberTexts);
  if (!document) {
    return std::unexpected(document.error());
  }
  const auto changed = change(*document);
  if (!changed) {
    return std::unexpected(changed.error());
  }
  if (!*changed) {
    return {};
  }
  std::expected<void, PlatformError> replaced;
  if (!changes::apply([&] { replaced = replaceFile(*folder, path, *document, numberTexts); })) {
    return unwritable("the request has already ended.");
  }
  return replaced;
}

}  // namespace kelo::simulator
