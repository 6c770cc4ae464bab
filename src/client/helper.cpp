#include "client/helper.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "jobs/writer.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/resources.h"

namespace {

// Job folders are "<temporary directory>/tovi-run.XXXXXX", each with a file LOCK inside, locked
// (flock) for as long as the run that made it lives: a folder whose lock nobody holds was left by
// a run that is gone.
constexpr const char* PREFIX = "tovi-run.";
constexpr const char* LOCK = "lock";

// The folder of the job that runs and a file being written, for a stop; written only while the
// stop signals are blocked, so a handler never sees half of them.
char runningFolder[PATH_MAX];
char pendingFile[PATH_MAX];
bool onTerminal = false;

// Removes everything inside the open folder `dir`, never following a link (a link is removed as
// a name). System calls only, on the stack: safe in a signal handler.
void emptyFolder(int dir, int depth) {
  alignas(dirent64) char buffer[4096];
  // Entries removed while a folder is read may make the reading skip others: read again from the
  // start until a whole pass removes nothing.
  for (bool removed = true; removed;) {
    removed = false;
    if (::lseek(dir, 0, SEEK_SET) != 0) return;
    ssize_t n;
    while ((n = ::getdents64(dir, buffer, sizeof buffer)) > 0) {
      for (ssize_t at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
        at += entry->d_reclen;
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        if (::unlinkat(dir, name, 0) == 0) {
          removed = true;
        } else if (errno == EISDIR && depth < 8) {
          const int inner = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
          if (inner < 0) continue;
          emptyFolder(inner, depth + 1);
          ::close(inner);
          if (::unlinkat(dir, name, AT_REMOVEDIR) == 0) removed = true;
        }
      }
    }
  }
}

void removeFolder(const char* path) {
  const int dir = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir >= 0) {
    emptyFolder(dir, 0);
    ::close(dir);
  }
  ::rmdir(path);
}

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signal);
  return set;
}

// Holds the stop signals back while it lives.
class StopsHeld {
 public:
  StopsHeld() {
    const sigset_t set = stopSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~StopsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  StopsHeld(const StopsHeld&) = delete;
  StopsHeld& operator=(const StopsHeld&) = delete;

 private:
  sigset_t previous_;
};

void stop(int signal) {
  const int saved = errno;
  process::stopAll();
  // The folder goes only once the helper has: it may still be writing into it.
  while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
  }
  if (runningFolder[0]) removeFolder(runningFolder);
  if (pendingFile[0]) ::unlink(pendingFile);
  // A progress line or the terminal's "^C" would otherwise meet the shell's prompt.
  if (onTerminal && ::write(STDERR_FILENO, "\n", 1) < 0) errno = saved;
  errno = saved;
  ::_exit(128 + signal);
}

// The folders of this user's runs that are gone. Another user's folder, or one whose lock is
// held or missing (a run between making its folder and locking it), is left alone.
void removeLeftovers() {
  const std::string temporary = files::temporaryFolder();
  const int parent = ::open(temporary.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent < 0) return;
  for (const auto& name : files::list(temporary)) {
    if (name.compare(0, std::strlen(PREFIX), PREFIX) != 0) continue;
    const int dir = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) continue;
    struct stat st;
    if (::fstat(dir, &st) == 0 && st.st_uid == ::geteuid()) {
      const int lock = ::openat(dir, LOCK, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      struct stat lockSt;
      if (lock >= 0 && ::fstat(lock, &lockSt) == 0 && S_ISREG(lockSt.st_mode) && lockSt.st_uid == ::geteuid() &&
          ::flock(lock, LOCK_EX | LOCK_NB) == 0) {
        emptyFolder(dir, 0);
        ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
      }
      if (lock >= 0) ::close(lock);
    }
    ::close(dir);
  }
  ::close(parent);
}

// A folder nobody else can plant anything in, locked while it lives; removed with its files on
// every way out, a stop included.
struct Folder {
  Folder() {
    const StopsHeld held;
    std::string pattern = files::temporaryFolder() + "/" + PREFIX + "XXXXXX";
    if (pattern.size() >= sizeof runningFolder || !::mkdtemp(pattern.data()))
      throw std::runtime_error("Cannot create a folder in " + files::parent(pattern) + ": " +
                               std::strerror(pattern.size() >= sizeof runningFolder ? ENAMETOOLONG : errno));
    path = pattern;
    std::memcpy(runningFolder, path.c_str(), path.size() + 1);
    // Locked before it has its name, so that no other run ever finds it unlocked.
    const std::string fresh = path + "/" + LOCK + ".new";
    lock = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock < 0 || ::flock(lock, LOCK_EX) != 0 || !files::renameNoReplace(fresh, path + "/" + LOCK)) {
      const int error = errno;
      remove();
      throw std::runtime_error("Cannot create a folder in " + files::parent(pattern) + ": " + std::strerror(error));
    }
  }
  ~Folder() {
    const StopsHeld held;
    remove();
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;

  void remove() {
    removeFolder(path.c_str());
    runningFolder[0] = '\0';
    if (lock >= 0) ::close(lock);
  }

  std::string path;
  int lock = -1;
};

}  // namespace

RemovedOnStop::RemovedOnStop(const std::string& path) {
  const StopsHeld held;
  if (path.size() < sizeof pendingFile) std::memcpy(pendingFile, path.c_str(), path.size() + 1);
}

RemovedOnStop::~RemovedOnStop() {
  const StopsHeld held;
  pendingFile[0] = '\0';
}

std::string helperExecutable() {
  const std::string self = executablePath();
  return (self.empty() ? std::string(".") : files::parent(self)) + "/ToviHelper";
}

void stopOnSignals() {
  onTerminal = ::isatty(STDERR_FILENO) == 1;
  struct sigaction action {};
  action.sa_handler = stop;
  sigfillset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  removeLeftovers();
}

std::string transcriptionDevice() {
  const std::string cpu = "on the CPU";
  process::Invocation spec;
  spec.executable = resourcePath() + "/whisper/whisper-cli";
  // ggml loads its backends before whisper-cli reads its arguments, so its usage is all it takes.
  spec.arguments = {"--help"};
  spec.out = process::Stream::null;
  spec.err = process::Stream::pipe;
  process::Child child;
  try {
    child = process::spawn(spec);
  } catch (const std::exception&) {
    return cpu;
  }
  // A driver that hangs must not hold tovi up: the job would find out for itself.
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (char buffer[4096];;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd fd{child.errFd, POLLIN, 0};
    const int ready = left.count() <= 0 ? 0 : ::poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      ::kill(child.pid, SIGKILL);
      break;
    }
    const ssize_t n = ::read(child.errFd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(child.errFd);
  process::wait(child.pid);
  // whisper-cli takes the first device: "ggml_vulkan: 0 = <device> (<driver>) | uma: ...".
  const std::string mark = "ggml_vulkan: 0 = ";
  const size_t start = text.find(mark);
  if (start == std::string::npos) return cpu;
  std::string line = text.substr(start + mark.size(), text.find('\n', start) - start - mark.size());
  line = line.substr(0, line.find(" | "));
  const size_t driver = line.rfind(" (");
  return "on the GPU: " + (driver == std::string::npos || driver == 0 ? line : line.substr(0, driver));
}

nlohmann::json runJob(nlohmann::json job, const std::function<void(const Progress&)>& onProgress) {
  Folder folder;
  const std::string out = folder.path + "/result.json", jobPath = folder.path + "/job.tovijob";
  job["out"] = out;
  const auto bytes = serialise(job);
  if (!bytes) throw std::runtime_error("The job cannot be written as JSON (is every text UTF-8?)");
  if (!files::writeWhole(jobPath, *bytes)) throw std::runtime_error("Cannot write the job file " + jobPath);

  process::Invocation spec;
  spec.executable = helperExecutable();
  spec.arguments = {jobPath};
  spec.out = process::Stream::null;
  spec.err = process::Stream::null;
  // The helper's temporary files (whisper-cli's output among them) go into the job's folder, so
  // that they go with it whatever becomes of the helper.
  std::vector<std::string> environment;
  for (auto& entry : process::environment())
    if (entry.compare(0, 7, "TMPDIR=") != 0) environment.push_back(std::move(entry));
  environment.push_back("TMPDIR=" + folder.path);
  spec.environment = std::move(environment);
  process::Child child;
  try {
    child = process::spawn(spec);
  } catch (const std::exception& error) {
    throw std::runtime_error("Cannot start " + spec.executable + ": " + error.what());
  }

  // The helper replaces the progress file whole, so each read is a complete object or nothing.
  std::string seen;
  auto follow = [&] {
    if (!onProgress) return;
    auto text = files::read(out + ".progress");
    if (!text || *text == seen) return;
    seen = *text;
    auto value = nlohmann::json::parse(*text, nullptr, false);
    if (!value.is_object() || !value.contains("progress") || !value["progress"].is_number_integer()) return;
    onProgress({value["progress"].get<int64_t>(), value.contains("phase") && value["phase"] == "download"});
  };
  // Without progress to show, a plain wait: a short job ends the moment the helper does.
  while (onProgress && process::running(child.pid)) {
    follow();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const int status = process::wait(child.pid);
  follow();
  auto text = files::read(out);
  if (!text) throw std::runtime_error("ToviHelper left no result (exit status " + std::to_string(status) + ")");
  auto result = nlohmann::json::parse(*text, nullptr, false);
  if (!result.is_object() || !result.contains("ok") || !result["ok"].is_boolean())
    throw std::runtime_error("ToviHelper's result cannot be read");
  return result;
}
