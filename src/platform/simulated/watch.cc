#include "platform/simulated/watch.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#ifdef __linux__
#include <sys/inotify.h>
#endif

#include "platform/signals_blocked.h"
#include "platform/simulated/preferences_file.h"
#include "platform/simulated/stored_profile.h"

namespace kelo::simulator {

namespace {

using runloop::Clock;

// How often a file is looked at where its folder cannot be watched (it does not exist yet, or
// the system has no way): well inside the 50 ms in which a waiting run must notice a change.
constexpr std::chrono::milliseconds kLookInterval{10};

// What the helper thread found: whether to post the handler, and when to look again (besides
// whenever the subject's descriptor becomes readable); never, without a time.
struct Look {
  bool changed = false;
  std::optional<Clock::time_point> next;
};

class Subject {
 public:
  virtual ~Subject() = default;
  // Called on the helper thread: at once, at the time the last look asked for, and whenever
  // the descriptor is readable, which it then drains.
  virtual Look look() = 0;
  // A descriptor to wait on, or -1.
  virtual int descriptor() const { return -1; }
};

// Moments far ahead (a time written in milliseconds, say) are looked at again within a day:
// a sleep that long is never converted beyond what the clock can hold.
constexpr double kFurthestLook = 86'400;

class Moments final : public Subject {
 public:
  explicit Moments(std::vector<double> moments) : moments_(std::move(moments)) {
    std::ranges::sort(moments_);
  }
  Look look() override {
    const double now = secondsSinceEpoch();
    bool reached = false;
    while (next_ < moments_.size() && moments_[next_] <= now) {
      reached = true;
      ++next_;
    }
    if (next_ == moments_.size()) {
      return {.changed = reached, .next = std::nullopt};
    }
    const double left = std::min(moments_[next_] - now, kFurthestLook);
    return {.changed = reached,
            .next = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(left))};
  }

 private:
  std::vector<double> moments_;
  std::size_t next_ = 0;
};

// A file, through its stamp. On Linux its folder is watched: any entry created, written,
// renamed or removed there wakes the thread, which then compares stamps.
class File final : public Subject {
 public:
  explicit File(std::string path) : path_(std::move(path)), last_(stampOf(path_)) {}
  ~File() override { disarm(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  Look look() override {
    drainOrDisarm();
    arm();
    auto stamp = stampOf(path_);
    const bool changed = stamp != last_;
    last_ = stamp;
    if (watch_ >= 0) {
      return {.changed = changed, .next = std::nullopt};
    }
    return {.changed = changed, .next = Clock::now() + kLookInterval};
  }

  int descriptor() const override { return watch_; }

 private:
#ifdef __linux__
  // Watches the file's folder for any change to its entries, and each folder above it for a
  // change to the entry that leads down to the file: when ~/.local is renamed, the folder
  // itself sees nothing, yet the path now leads nowhere.
  void arm() {
    if (watch_ >= 0) {
      return;
    }
    watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ < 0) {
      return;
    }
    std::string folder = path_.substr(0, path_.rfind('/'));
    folderWatch_ =
        inotify_add_watch(watch_, folder.c_str(),
                          IN_CREATE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM |
                              IN_MOVED_TO | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    if (folderWatch_ < 0) {
      disarm();  // no folder yet: looked at every few milliseconds until there is one
      return;
    }
    pathways_.clear();
    for (auto slash = folder.rfind('/'); slash != std::string::npos && slash > 0;
         slash = folder.rfind('/')) {
      std::string entry = folder.substr(slash + 1);
      folder.resize(slash);
      // A folder above that cannot be watched is only not watched.
      if (const int above = inotify_add_watch(watch_, folder.c_str(),
                                              IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE |
                                                  IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
          above >= 0) {
        pathways_.emplace_back(above, std::move(entry));
      }
    }
  }

  // Reads the events that woke the thread. When the folder, or the way down to it, went away
  // or changed, everything is watched afresh along the path as it is now.
  void drainOrDisarm() {
    if (watch_ < 0) {
      return;
    }
    alignas(inotify_event) std::array<char, 4096> events{};
    bool moved = false;
    for (;;) {
      const ssize_t length = read(watch_, events.data(), events.size());
      if (length <= 0) {
        break;
      }
      for (ssize_t offset = 0; offset < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events.data() + offset);
        moved = moved || movedAway(*event);
        offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    if (moved) {
      disarm();
    }
  }

  bool movedAway(const inotify_event& event) const {
    if ((event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_Q_OVERFLOW)) != 0) {
      return true;
    }
    if (event.wd == folderWatch_ || event.len == 0) {
      return false;
    }
    const auto pathway = std::ranges::find(pathways_, event.wd, &Pathway::first);
    return pathway != pathways_.end() && std::string_view(event.name) == pathway->second;
  }

  // A folder above the file's, by its watch, and the name of its entry on the way down.
  using Pathway = std::pair<int, std::string>;
  std::vector<Pathway> pathways_;
  int folderWatch_ = -1;
#else
  void arm() {}
  void drainOrDisarm() {}
#endif

  void disarm() {
    if (watch_ >= 0) {
      close(watch_);
      watch_ = -1;
    }
  }

  std::string path_;
  std::optional<FileStamp> last_;
  int watch_ = -1;
};

// The helper thread and its stop: a byte written into a pipe, or, where no pipe could be
// opened, a flag looked at every few milliseconds.
class Watch final : public NEVPNObserver {
 public:
  Watch(std::unique_ptr<Subject> subject, NEVPNNotificationHandler handler)
      : observing_(std::make_shared<bool>(true)), subject_(std::move(subject)) {
    if (pipe(stop_.data()) == 0) {
      for (const int end : stop_) {
        fcntl(end, F_SETFD, FD_CLOEXEC);
      }
    } else {
      stop_ = {-1, -1};
    }
    const SignalsBlocked blocked;  // inherited by the helper thread
    try {
      thread_ = std::thread([this, handler = std::move(handler)] { run(handler); });
    } catch (const std::system_error&) {
      closeStop();
      throw;
    }
  }

  // A handler posted already may still run: it finds the observer gone, and does nothing.
  ~Watch() override {
    stopping_ = true;
    if (stop_[1] >= 0) {
      (void)!write(stop_[1], "", 1);
    }
    thread_.join();
    *observing_ = false;
    closeStop();
  }
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;

 private:
  void closeStop() {
    for (const int end : stop_) {
      if (end >= 0) {
        close(end);
      }
    }
  }

  void run(const NEVPNNotificationHandler& handler) {
    while (!stopping_) {
      const Look seen = subject_->look();
      if (seen.changed) {
        runloop::post([observing = observing_, handler] {
          if (*observing) {  // both on the main thread
            handler();
          }
        });
      }
      std::array<pollfd, 2> waits{{{stop_[0], POLLIN, 0}, {subject_->descriptor(), POLLIN, 0}}};
      std::optional<Clock::duration> sleep;
      if (seen.next) {
        sleep = std::max(Clock::duration::zero(), *seen.next - Clock::now());
      }
      if (stop_[0] < 0) {
        sleep = std::min(sleep.value_or(kLookInterval), Clock::duration(kLookInterval));
      }
      const int milliseconds =
          sleep ? static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*sleep).count())
                : -1;
      (void)poll(waits.data(), waits.size(), milliseconds);
    }
  }

  std::shared_ptr<bool> observing_;  // main thread only
  std::unique_ptr<Subject> subject_;
  std::array<int, 2> stop_{-1, -1};
  std::atomic<bool> stopping_ = false;
  std::thread thread_;
};

// Null when no thread can be started for it (the caller is at its process limit, say).
std::unique_ptr<NEVPNObserver> started(std::unique_ptr<Subject> subject,
                                       NEVPNNotificationHandler handler) {
  try {
    return std::make_unique<Watch>(std::move(subject), std::move(handler));
  } catch (const std::system_error&) {
    return nullptr;
  }
}

}  // namespace

std::unique_ptr<NEVPNObserver> watchFile(const std::string& path,
                                         NEVPNNotificationHandler handler) {
  return started(std::make_unique<File>(path), std::move(handler));
}

std::unique_ptr<NEVPNObserver> watchMoments(std::vector<double> moments,
                                            NEVPNNotificationHandler handler) {
  return started(std::make_unique<Moments>(std::move(moments)), std::move(handler));
}

}  // namespace kelo::simulator
