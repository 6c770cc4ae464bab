#include "app/watch.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <tuple>
#include <utf8proc.h>

#include "app/runner.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

constexpr auto PERIOD = std::chrono::milliseconds(100);
const std::string TAKEN = ".taken";

bool isJobName(const std::string& name) { return name.ends_with(".tovijob"); }

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

// The job files in the folder in the order they run, with the claims left by a watcher that died
// (their ".taken" names) each just before a job of its name.
std::vector<std::string> jobNames(const std::string& folder) {
  std::vector<std::tuple<std::string, bool, std::string>> keyed;
  for (auto& name : files::list(folder)) {
    if (isJobName(name)) keyed.emplace_back(composed(name), true, std::move(name));
    else if (name.ends_with(TAKEN) && isJobName(name.substr(0, name.size() - TAKEN.size())))
      keyed.emplace_back(composed(name.substr(0, name.size() - TAKEN.size())), false, std::move(name));
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::string> names;
  for (auto& entry : keyed) names.push_back(std::move(std::get<2>(entry)));
  return names;
}

// A job file of this user's, open and locked: the claim. A job file names programs that the
// helper will run, so the type and owner are checked on the very file that is then run, never on
// a name looked up again; the lock tells a live watcher's claim from one whose watcher died.
class Claim {
 public:
  Claim() = default;
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;
  ~Claim() {
    if (fd_ >= 0) ::close(fd_);  // lets the lock go
  }

  // Claims folder/name: a job file by renaming it to its ".taken" name (never replacing one), or
  // a ".taken" file whose watcher has died (nobody holds its lock) where it lies.
  bool take(const std::string& folder, const std::string& name) {
    const std::string path = folder + "/" + name;
    const bool orphan = name.ends_with(TAKEN);
    taken_ = orphan ? path : path + TAKEN;
    job_ = orphan ? path.substr(0, path.size() - TAKEN.size()) : path;
    fd_ = files::openOwnFile(path, O_RDONLY);
    // A live watcher holds the lock on what it runs; a file already run has lost its last name.
    if (fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) != 0 || !files::names(path, fd_)) return false;
    // What runs is the file open here, whatever happens to its names from now on.
    return orphan || files::renameNoReplace(path, taken_);
  }

  const std::string& taken() const { return taken_; }
  int fd() const { return fd_; }

  // The job is done: the claimed file goes, before its lock does. Where something else holds
  // the claimed name (swapped in after the claim), it stays; if it is a job of ours, a later scan
  // finds it unlocked and runs it.
  void finish() {
    if (files::names(taken_, fd_)) files::remove(taken_);
  }

  // The job was not done: its file goes back under the job's name, so that any watcher may take
  // it up; where that name is taken again, the unlocked claim waits for the next watcher.
  void handBack() {
    if (files::names(taken_, fd_)) files::renameNoReplace(taken_, job_);
  }

 private:
  int fd_ = -1;
  std::string taken_, job_;
};

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
  // A stop (a service stop, a logout, ^C) ends the running child and takes no further job; the
  // job it cut short goes back to the folder unanswered. A terminal's signals that the starter
  // chose to ignore (nohup, a script's "&") stay ignored.
  struct sigaction stop {}, before {};
  stop.sa_handler = [](int) { process::stopAll(); };
  sigemptyset(&stop.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    ::sigaction(signal, nullptr, &before);
    if (signal == SIGTERM || before.sa_handler != SIG_IGN) ::sigaction(signal, &stop, nullptr);
  }

  double lastActivity = now();
  if (!(now() - lastActivity < idle)) return;
  FolderEvents events(folder);
  while (now() - lastActivity < idle && !process::stopping()) {
    for (const auto& name : jobNames(folder)) {
      if (process::stopping()) break;
      Claim claim;
      if (!claim.take(folder, name)) continue;
      if (run(claim.taken(), claim.fd())) {
        claim.finish();
      } else {
        claim.handBack();
        break;
      }
      lastActivity = now();
    }
    events.wait(PERIOD);
  }
}
