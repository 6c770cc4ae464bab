#include "app/watch.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <set>
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

// The job files in the folder in the order they run, then the claims left by a watcher that died
// (their ".taken" names): a job that ended its watcher does not hold back the jobs behind it.
std::vector<std::string> jobNames(const std::string& folder) {
  std::vector<std::tuple<bool, std::string, std::string>> keyed;
  for (auto& name : files::list(folder)) {
    if (isJobName(name)) keyed.emplace_back(false, composed(name), std::move(name));
    else if (name.ends_with(TAKEN) && isJobName(name.substr(0, name.size() - TAKEN.size())))
      keyed.emplace_back(true, composed(name), std::move(name));
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::string> names;
  for (auto& entry : keyed) names.push_back(std::move(std::get<2>(entry)));
  return names;
}

using FileId = std::pair<dev_t, ino_t>;

// How many runs of a job have begun, kept on the job file itself (an extended attribute), so that
// it survives the watcher that ran it and goes wherever the file goes. Only the file's owner may
// set it, and a job file that others may write is never run.
const char* const ATTEMPTS = "user.tovihelper.attempts";
// A job answered whose claimed file could not be removed: it never runs again.
constexpr int ANSWERED = -1;
// Runs that ended with the watcher's death before a job is answered with POISON instead.
constexpr int DEATHS = 3;
const std::string POISON =
    "The helper ended unexpectedly three times in a row while running this job (for example, it "
    "ran out of memory), so the job was not run again";

enum class Take { claimed, busy, refused };

// A job file of this user's, open and locked: the claim. A job file names programs that the
// helper will run, so the type, owner and mode are checked on the very file that is then run,
// never on a name looked up again; the lock tells a live watcher's claim from one whose watcher
// died.
class Claim {
 public:
  Claim() = default;
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;

  // Claims folder/name: a job file by renaming it to its ".taken" name (never replacing one), or
  // a ".taken" file whose watcher has died (nobody holds its lock) where it lies. Busy when a
  // live watcher holds it; refused for anything that is not a job of this user's to run now.
  Take take(const std::string& folder, const std::string& name, const std::set<FileId>& skipped) {
    const std::string path = folder + "/" + name;
    const bool orphan = name.ends_with(TAKEN);
    taken_ = orphan ? path : path + TAKEN;
    job_ = orphan ? path.substr(0, path.size() - TAKEN.size()) : path;
    handle_.reset(files::handle(path));
    struct stat st;
    // A file that others may write is not the host's request, whoever owns it. A second name is
    // fine: protected hard links keep other users from linking a file of ours.
    if (!handle_ || ::fstat(handle_.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) || skipped.count({st.st_dev, st.st_ino}))
      return Take::refused;
    id_ = {st.st_dev, st.st_ino};
    linked_ = st.st_nlink > 1;
    // A job file that its owner may only write is still held locked while it is answered as
    // unreadable; one that can be opened in no way at all is answered without a lock.
    fd_.reset(files::reopen(handle_.get(), O_RDONLY));
    if (!fd_ && errno == EACCES) fd_.reset(files::reopen(handle_.get(), O_WRONLY));
    if (!fd_ && errno != EACCES) return Take::busy;  // out of descriptors for now
    if (fd_ && ::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) return Take::busy;
    // A file already run has lost its last name; what runs is the file open here, whatever
    // happens to its names from now on.
    if (!files::names(path, handle_.get())) return Take::refused;
    return orphan || files::renameNoReplace(path, taken_) ? Take::claimed : Take::refused;
  }

  const std::string& taken() const { return taken_; }
  int fd() const { return fd_.get(); }
  FileId id() const { return id_; }

  // The runs of this job begun so far, or ANSWERED.
  int attempts() const {
    const auto value = fd_ ? files::attribute(fd_.get(), ATTEMPTS) : std::nullopt;
    if (!value) return 0;
    if (*value == "answered") return ANSWERED;
    return value->size() == 1 && (*value)[0] >= '1' && (*value)[0] <= '9' ? (*value)[0] - '0' : 0;
  }
  void setAttempts(int count) {
    if (fd_)
      files::setAttribute(fd_.get(), ATTEMPTS,
                          count == ANSWERED ? "answered" : count == 0 ? "" : std::to_string(count));
  }

  // The job is done: the claimed file goes, before its lock does. Where something else holds
  // the claimed name (swapped in after the claim), it stays; if it is a job of ours, a later scan
  // finds it unlocked and runs it. False when the claimed file is still there.
  bool finish() {
    const bool gone = !files::names(taken_, handle_.get()) || files::remove(taken_);
    if (gone && linked_) setAttempts(0);  // its other name may come back as a new job
    return gone;
  }

  // The job was not done: its file goes back under the job's name, so that any watcher may take
  // it up; where that name is taken again, the unlocked claim waits for the next watcher.
  void handBack() {
    if (files::names(taken_, handle_.get())) files::renameNoReplace(taken_, job_);
  }

 private:
  files::Descriptor handle_, fd_;  // fd_ holds the lock
  FileId id_{};
  bool linked_ = false;
  std::string taken_, job_;
};

// Tells when the folder may hold something that the last look did not see, so that a watcher
// idling over a large folder does not list it, and look at every file others left there, ten
// times a second. Change notices from the system (inotify) say so at once; without them the
// folder's own times do, and a whole look is taken at least every FULL_LOOK. It also wakes the
// loop between scans as soon as a job file is moved into the folder or closed after writing.
class FolderWatch {
 public:
  explicit FolderWatch(const std::string& folder)
      : folder_(folder), fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  // True when the folder is to be listed again.
  bool changed() {
    drain();
    struct stat st {};
    if (!files::usable(folder_) || folder_.empty() || ::stat(folder_.c_str(), &st) != 0) st = {};
    // A folder that appeared, or another folder now at the path, is watched afresh.
    if (st.st_ino != 0 && (st.st_dev != watched_.first || st.st_ino != watched_.second)) rewatch(st);
    const Times times{st.st_dev, st.st_ino, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec,
                      st.st_ctim.tv_nsec};
    const auto now = std::chrono::steady_clock::now();
    const bool look = dirty_ || times != times_ || (watch_ < 0 && now - lastLook_ >= FULL_LOOK);
    if (look) {
      dirty_ = arrived_ = false;
      times_ = times;
      lastLook_ = now;
    }
    return look;
  }

  // True when a job file arrived since the folder was last listed. A watcher at its idle time
  // looks once more for it rather than leave it to a service manager that is not watching the
  // folder while the watcher runs.
  bool arrived() {
    drain();
    return arrived_;
  }

  // Waits up to `limit` for a job file to arrive.
  void wait(std::chrono::milliseconds limit) {
    if (!fd_ || watch_ < 0) {
      std::this_thread::sleep_for(limit);
      return;
    }
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return;
      pollfd p{fd_.get(), POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return;
      if (drain()) return;
    }
  }

 private:
  static constexpr auto FULL_LOOK = std::chrono::seconds(1);
  using Times = std::tuple<dev_t, ino_t, time_t, long, time_t, long>;

  // Reads the pending events: any of them means the folder is to be listed again; true when one
  // names a job file that arrived. A watch that went away (the folder was removed or replaced)
  // is set up again by changed().
  bool drain() {
    if (!fd_) return false;
    alignas(inotify_event) char buffer[8192];
    bool job = false;
    for (;;) {
      ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
      if (n <= 0) return job;
      dirty_ = true;
      for (char* p = buffer; p < buffer + n;) {
        auto* event = reinterpret_cast<inotify_event*>(p);
        if (event->wd == watch_ && (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))) {
          if (!(event->mask & IN_IGNORED)) ::inotify_rm_watch(fd_.get(), watch_);
          watch_ = -1;
          watched_ = {};
        }
        constexpr uint32_t ARRIVAL = IN_MOVED_TO | IN_CLOSE_WRITE | IN_ATTRIB;
        if (event->len > 0 && isJobName(event->name) && (event->mask & ARRIVAL)) job = arrived_ = true;
        p += sizeof(inotify_event) + event->len;
      }
    }
  }

  void rewatch(const struct stat& st) {
    if (!fd_) return;
    if (watch_ >= 0) ::inotify_rm_watch(fd_.get(), watch_);
    watch_ = ::inotify_add_watch(fd_.get(), folder_.c_str(),
                                 IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CLOSE_WRITE |
                                     IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    watched_ = watch_ >= 0 ? FileId{st.st_dev, st.st_ino} : FileId{};
    dirty_ = true;  // whatever changed before the watch began
  }

  std::string folder_;
  files::Descriptor fd_;
  int watch_ = -1;
  FileId watched_{};
  bool dirty_ = true, arrived_ = false;
  Times times_{};
  std::chrono::steady_clock::time_point lastLook_{};
};

// Runs the job claimed, or answers it with POISON where its runs ended the watcher DEATHS times.
// A job that is kept for later (handed back) or cannot be removed is not taken up again here.
void serve(Claim& claim, std::set<FileId>& skipped, double& lastActivity) {
  const int attempts = claim.attempts();
  if (attempts == ANSWERED) {
    // Answered by a watcher that could not remove it: it never runs twice.
    if (!claim.finish()) skipped.insert(claim.id());
    return;
  }
  bool done;
  if (attempts >= DEATHS) {
    done = refuse(claim.taken(), claim.fd(), POISON);
  } else {
    // Counted before the run: a run that ends the watcher leaves the count behind.
    claim.setAttempts(attempts + 1);
    done = run(claim.taken(), claim.fd());
  }
  lastActivity = now();
  if (!done) {
    // A stop, or an answer that could not be written for now: no death of the job's making.
    claim.setAttempts(attempts);
    claim.handBack();
    skipped.insert(claim.id());
  } else if (!claim.finish()) {
    // Answered, but the folder keeps the claim (it cannot be changed): no watcher runs it again.
    claim.setAttempts(ANSWERED);
    skipped.insert(claim.id());
  }
}

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
  FolderWatch changes(folder);
  // Files handed back or answered by this watcher that it will not take up again, and claims a
  // live watcher holds, which are tried again at every scan.
  std::set<FileId> skipped;
  std::vector<std::string> busy;
  while ((now() - lastActivity < idle || changes.arrived()) && !process::stopping()) {
    std::vector<std::string> names = changes.changed() ? jobNames(folder) : std::move(busy);
    busy.clear();
    for (const auto& name : names) {
      if (process::stopping()) break;
      Claim claim;
      const Take took = claim.take(folder, name, skipped);
      if (took == Take::busy) busy.push_back(name);
      if (took == Take::claimed) serve(claim, skipped, lastActivity);
    }
    changes.wait(PERIOD);
  }
}
