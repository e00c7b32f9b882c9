#include "platform/policy_folder.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <string_view>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qelt::platform {

namespace {

// The same settle as the registry watch: an editor's save or Ansible's write-and-rename
// takes several steps; read once, after the last.
constexpr int settle_ms = 250;
// A settings file is a few lines; anything far larger is not one, and is not held in memory.
constexpr off_t largest_file = 1 << 20;

class file_descriptor {
 public:
  explicit file_descriptor(int fd = -1) : fd_(fd) {}
  ~file_descriptor() { reset(); }
  file_descriptor(const file_descriptor&) = delete;
  file_descriptor& operator=(const file_descriptor&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

std::string errno_text(int code) { return std::string(std::strerror(code)) + " (errno " + std::to_string(code) + ")"; }

struct directory_handle {
  DIR* dir;
  ~directory_handle() {
    if (dir != nullptr) closedir(dir);
  }
};

// The file's content, or why it cannot be read; `skip` for what is no settings file.
struct read_result {
  bool skip = false;
  std::string content;
  std::string error;
};

read_result read_one(const std::string& path) {
  read_result result;
  // O_NONBLOCK: a FIFO named *.json must not hang the agent.
  const file_descriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) {
    // Gone between listing and opening (renamed over, removed): the watch tells of it again.
    if (errno == ENOENT) result.skip = true;
    result.error = "open: " + errno_text(errno);
    return result;
  }
  struct stat facts {};
  if (fstat(fd.get(), &facts) != 0) {
    result.error = "fstat: " + errno_text(errno);
    return result;
  }
  if (S_ISDIR(facts.st_mode)) {
    result.skip = true;
    return result;
  }
  if (!S_ISREG(facts.st_mode)) {
    result.error = "not a regular file";
    return result;
  }
  if (facts.st_size > largest_file) {
    result.error = "larger than 1 MiB";
    return result;
  }
  char buffer[8192];
  for (;;) {
    const ssize_t got = read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      result.error = "read: " + errno_text(errno);
      result.content.clear();
      return result;
    }
    if (got == 0) break;
    result.content.append(buffer, static_cast<std::size_t>(got));
    if (result.content.size() > static_cast<std::size_t>(largest_file)) {
      result.error = "larger than 1 MiB";
      result.content.clear();
      return result;
    }
  }
  return result;
}

}  // namespace

std::vector<policy_file> read_policy_folder(const std::string& folder) {
  const directory_handle dir{opendir(folder.c_str())};
  if (dir.dir == nullptr) {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    return {{folder, {}, "cannot be listed: opendir: " + errno_text(errno)}};
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* entry = readdir(dir.dir)) {
    if (is_policy_file_name(entry->d_name)) names.emplace_back(entry->d_name);
  }
  if (errno != 0) return {{folder, {}, "cannot be listed: readdir: " + errno_text(errno)}};
  std::sort(names.begin(), names.end());

  std::vector<policy_file> files;
  for (const std::string& name : names) {
    const std::string path = folder + "/" + name;
    read_result result = read_one(path);
    if (!result.skip) files.push_back({path, std::move(result.content), std::move(result.error)});
  }
  return files;
}

// Armed afresh after every change: the folder while it exists (its files) with its
// parent (the folder's own creation, removal or replacement); while it is missing, its
// nearest existing ancestor, for the creation of the next folder on the way.
struct policy_folder_watch::state {
  std::string folder;
  file_descriptor stop_event{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  file_descriptor inotify;
  int folder_watch = -1;
  int ancestor_watch = -1;
  std::string awaited;  // the name below the ancestor that leads to the folder

  void arm() {
    inotify.reset(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    folder_watch = ancestor_watch = -1;
    if (inotify.get() < 0) return;
    constexpr std::uint32_t folder_events = IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                                            IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    constexpr std::uint32_t ancestor_events =
        IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    folder_watch = inotify_add_watch(inotify.get(), folder.c_str(), folder_events);
    std::string below = folder;
    for (;;) {
      const std::size_t slash = below.find_last_of('/');
      if (slash == std::string::npos) return;
      const std::string ancestor = slash == 0 ? "/" : below.substr(0, slash);
      awaited = below.substr(slash + 1);
      ancestor_watch = inotify_add_watch(inotify.get(), ancestor.c_str(), ancestor_events);
      if (ancestor_watch >= 0 || ancestor == "/") return;
      // That ancestor is missing too: wait one level up for its creation.
      below = ancestor;
    }
  }

  // Whether the events read so far say something changed; false once they are all read.
  bool changed() {
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    bool any = false;
    for (;;) {
      const ssize_t got = read(inotify.get(), buffer, sizeof buffer);
      if (got <= 0) return any;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        const std::string_view name = event->len > 0 ? std::string_view(event->name) : std::string_view();
        if (event->mask & IN_Q_OVERFLOW) {
          any = true;
        } else if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
          any = true;  // a watched folder went: the watch must move
        } else if (event->wd == folder_watch) {
          any = any || file_changed(event->mask, name);
        } else if (event->wd == ancestor_watch) {
          any = any || name == awaited;
        }
      }
    }
  }

  bool file_changed(std::uint32_t mask, std::string_view name) const {
    if ((mask & IN_ISDIR) || !is_policy_file_name(name)) return false;
    // A regular file just created is still being written: its close tells when it is done.
    if (mask & IN_CREATE) {
      struct stat facts {};
      const std::string path = folder + "/" + std::string(name);
      return lstat(path.c_str(), &facts) != 0 || !S_ISREG(facts.st_mode);
    }
    return true;
  }

  // Waits on the inotify descriptor and the stop event, or on the stop event alone for
  // at most `timeout_ms`; false once stopped. A poll that fails for good ends following,
  // the settings read last staying in force, rather than spinning.
  bool wait_events(bool inotify_too, int timeout_ms) {
    pollfd fds[] = {{stop_event.get(), POLLIN, 0}, {inotify.get(), POLLIN, 0}};
    const nfds_t count = inotify_too && inotify.get() >= 0 ? 2 : 1;
    while (poll(fds, count, timeout_ms) < 0) {
      if (errno != EINTR) return false;
    }
    return (fds[0].revents & POLLIN) == 0;
  }
};

policy_folder_watch::policy_folder_watch(std::string folder) : state_(std::make_unique<state>()) {
  if (state_->stop_event.get() < 0) throw std::runtime_error("eventfd: " + errno_text(errno));
  // Absolute, without a trailing slash: every ancestor up to / has a name.
  folder = std::filesystem::absolute(folder).lexically_normal().string();
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  state_->folder = std::move(folder);
  state_->arm();
}

policy_folder_watch::~policy_folder_watch() = default;

bool policy_folder_watch::wait() {
  do {
    if (!state_->wait_events(true, -1)) return false;
  } while (!state_->changed());
  if (!state_->wait_events(false, settle_ms)) return false;
  state_->arm();
  return true;
}

void policy_folder_watch::stop() {
  const std::uint64_t one = 1;
  // Stays readable: every wait from now on ends at once.
  [[maybe_unused]] const ssize_t written = write(state_->stop_event.get(), &one, sizeof one);
}

}  // namespace qelt::platform
