#include "client/helper.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "jobs/writer.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/resources.h"

namespace {

// Job folders are "<temporary directory>/tovi-run.XXXXXX", locked for as long as the run that
// made it lives.
constexpr const char* PREFIX = "tovi-run.";

// The folder of the job that runs and a file being written, for a stop; written only while the
// stop signals are blocked, so a handler never sees half of them.
char runningFolder[PATH_MAX];
char pendingFile[PATH_MAX];
bool onTerminal = false;

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
  if (runningFolder[0]) files::removeFolder(runningFolder);
  if (pendingFile[0]) ::unlink(pendingFile);
  // A progress line or the terminal's "^C" would otherwise meet the shell's prompt.
  if (onTerminal && ::write(STDERR_FILENO, "\n", 1) < 0) errno = saved;
  errno = saved;
  ::_exit(128 + signal);
}

// The job's private folder, which a stop removes too.
struct Folder {
  Folder() {
    const StopsHeld held;
    folder.emplace(PREFIX);
    if (path().size() < sizeof runningFolder) std::memcpy(runningFolder, path().c_str(), path().size() + 1);
  }
  ~Folder() {
    const StopsHeld held;
    folder.reset();
    runningFolder[0] = '\0';
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  const std::string& path() const { return folder->path(); }

  std::optional<files::PrivateFolder> folder;
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
  files::sweepPrivateFolders(PREFIX);
}

std::string transcriptionDevice() {
  const std::string cpu = "on the CPU";
  process::Invocation invocation;
  invocation.executable = resourcePath() + "/whisper/whisper-cli";
  // ggml loads its backends before whisper-cli reads its arguments, so its usage is all it takes.
  invocation.arguments = {"--help"};
  invocation.out = process::Stream::null;
  invocation.err = process::Stream::pipe;
  process::Child child;
  try {
    child = process::spawn(invocation);
  } catch (const std::exception&) {
    return cpu;
  }
  // A driver that hangs must not hold tovi up: the job would find out for itself.
  std::string text;
  process::Watch read;
  read.fd = child.errFd;
  read.output = &text;
  read.limit = std::chrono::seconds(10);
  process::wait(child.pid, read);
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
  const std::string out = folder.path() + "/result.json", jobPath = folder.path() + "/job.tovijob";
  job["out"] = out;
  const auto bytes = serialise(job);
  if (!bytes) throw std::runtime_error("The job cannot be written as JSON (is every text UTF-8?)");
  if (!files::writeWhole(jobPath, *bytes)) throw std::runtime_error("Cannot write the job file " + jobPath);

  process::Invocation invocation;
  invocation.executable = helperExecutable();
  invocation.arguments = {jobPath};
  invocation.out = process::Stream::null;
  invocation.err = process::Stream::null;
  // The helper's temporary files (whisper-cli's output among them) go into the job's folder, so
  // that they go with it whatever becomes of the helper.
  process::setVariable(invocation, "TMPDIR", folder.path());
  process::Child child;
  try {
    child = process::spawn(invocation);
  } catch (const std::exception& error) {
    throw std::runtime_error("Cannot start " + invocation.executable + ": " + error.what());
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
  process::Watch watch;
  if (onProgress)
    watch.every = [&] {
      follow();
      return true;
    };
  const int status = process::wait(child.pid, watch);
  follow();
  auto text = files::read(out);
  if (!text) throw std::runtime_error("ToviHelper left no result (exit status " + std::to_string(status) + ")");
  auto result = nlohmann::json::parse(*text, nullptr, false);
  if (!result.is_object() || !result.contains("ok") || !result["ok"].is_boolean())
    throw std::runtime_error("ToviHelper's result cannot be read");
  return result;
}
