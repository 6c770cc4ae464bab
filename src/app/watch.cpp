#include "app/watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <utf8proc.h>

#include "jobs/runner.h"
#include "platform/files.h"

namespace {

constexpr auto PERIOD = std::chrono::milliseconds(100);

bool isJobName(const std::string& name) {
  static const std::string suffix = ".tovijob";
  return name.size() >= suffix.size() &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

double now() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

// The canonically composed form, whose UTF-8 bytes sort in code-point order. A name that is not
// UTF-8 sorts by its own bytes.
std::string composed(const std::string& name) {
  auto* nfc = utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(name.c_str()));
  if (!nfc) return name;
  std::string out(reinterpret_cast<char*>(nfc));
  std::free(nfc);
  return out;
}

std::vector<std::string> jobNames(const std::string& folder) {
  std::vector<std::pair<std::string, std::string>> keyed;
  for (auto& name : files::list(folder))
    if (isJobName(name)) keyed.emplace_back(composed(name), std::move(name));
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::string> names;
  for (auto& [key, name] : keyed) names.push_back(std::move(name));
  return names;
}

// A job file names programs that the helper will run, so only the user's own files are taken:
// both the entry and, for a link, what it points to must belong to this user.
bool ownedByUs(const std::string& path) {
  struct stat entry, target;
  uid_t me = ::geteuid();
  return ::lstat(path.c_str(), &entry) == 0 && entry.st_uid == me &&
         ::stat(path.c_str(), &target) == 0 && target.st_uid == me;
}

// Wakes the loop between scans as soon as a job file is moved into the folder or closed after
// writing; the fixed period stays the longest wait, so nothing depends on the events.
class FolderEvents {
 public:
  explicit FolderEvents(const std::string& folder) : folder_(folder) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    addWatch();
  }
  ~FolderEvents() {
    if (fd_ >= 0) ::close(fd_);
  }
  FolderEvents(const FolderEvents&) = delete;
  FolderEvents& operator=(const FolderEvents&) = delete;

  // Waits up to `limit` for a job file to arrive.
  void wait(std::chrono::milliseconds limit) {
    addWatch();
    if (fd_ < 0 || watch_ < 0) {
      std::this_thread::sleep_for(limit);
      return;
    }
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return;
      if (drain()) return;
    }
  }

 private:
  // Reads the pending events; true when one of them names a job file. A watch that went away
  // (the folder was removed) is set up again at the next wait.
  bool drain() {
    alignas(inotify_event) char buffer[8192];
    bool job = false;
    for (;;) {
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) return job;
      for (char* p = buffer; p < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        if (event->mask & IN_IGNORED) watch_ = -1;
        if (event->len > 0 && isJobName(event->name)) job = true;
        p += sizeof(inotify_event) + event->len;
      }
    }
  }

  void addWatch() {
    if (fd_ >= 0 && watch_ < 0 && files::usable(folder_))
      watch_ = ::inotify_add_watch(fd_, folder_.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_ONLYDIR);
  }

  std::string folder_;
  int fd_ = -1;
  int watch_ = -1;
};

}  // namespace

void watch(const std::string& folder, double idle) {
  double lastActivity = now();
  if (!(now() - lastActivity < idle)) return;
  FolderEvents events(folder);
  while (now() - lastActivity < idle) {
    for (const auto& name : jobNames(folder)) {
      const std::string path = folder + "/" + name;
      const std::string taken = path + ".taken";
      if (!ownedByUs(path)) continue;
      if (!files::renameNoReplace(path, taken)) continue;
      run(taken);
      files::remove(taken);
      lastActivity = now();
    }
    events.wait(PERIOD);
  }
}
