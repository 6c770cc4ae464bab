#include "speech/whisper.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "jobs/failure.h"
#include "jobs/utf8.h"
#include "jobs/writer.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/resources.h"
#include "speech/whisper_stderr.h"

namespace {

constexpr const char* FALLBACK_PATH = "/opt/homebrew/bin/whisper-cli";
constexpr const char* BACKEND_VARIABLE = "GGML_BACKEND_PATH";
// ggml's switch that keeps its Vulkan backend from being loaded at all (the bundled build honours
// it for the loadable library too), so a run with it never reaches the GPU's driver.
constexpr const char* NO_VULKAN_VARIABLE = "GGML_DISABLE_VULKAN";

// What ggml and whisper.cpp print on standard error when a run takes a GPU. ggml's Vulkan backend
// lists the devices it will use as soon as it is loaded, before the model is read, so a model
// too large for the device's memory is caught too; whisper.cpp names the GPU device it starts,
// whatever the backend.
constexpr std::string_view GPU_MARKS[] = {"ggml_vulkan: Found ", "whisper_backend_init_gpu: using "};
// Enough of the previous chunk to find a mark that two chunks share.
constexpr size_t MARK_OVERLAP = 40;

// Once whisper-cli has exited, what it wrote is already in the pipe; a grandchild that inherited
// the pipe may keep writing, so draining stops when the pipe is momentarily empty or after this.
constexpr auto DRAIN_LIMIT = std::chrono::seconds(1);

// whisper-cli's output goes into a folder of our own in the shared temporary directory: nobody
// else can guess a name in it or plant a link there, and two runs in the same millisecond never
// meet.
constexpr const char* PREFIX = "tovi-whisper.";

// `cpuOnly` adds whisper-cli's "-ng": no GPU, whichever backends this whisper-cli has.
std::vector<std::string> arguments(const Job& job, const std::string& base, bool cpuOnly) {
  std::vector<std::string> a{
      "-m", job.model.value_or(""), "-f", job.wav.value_or(""), "-l", job.lang.value_or("auto"),
      "-ojf", "-of", base, "-nfa", "--dtw", job.dtw.value_or("large.v3.turbo"), "-t", "8", "-pp"};
  if (cpuOnly) a.push_back("-ng");
  if (job.prompt && !job.prompt->empty()) {
    a.push_back("--prompt");
    a.push_back(*job.prompt);
  }
  return a;
}

// Reads whisper-cli's standard error on a thread of its own, one chunk per read, in order: valid
// UTF-8 chunks go to the tail, and the last progress line of each goes to the progress file. Every
// chunk, UTF-8 or not, is looked at for a sign that the run took a GPU.
class StderrReader {
 public:
  StderrReader(files::Descriptor fd, std::string progressPath)
      : fd_(std::move(fd)), wake_(::eventfd(0, EFD_CLOEXEC)), progressPath_(std::move(progressPath)) {
    if (!wake_) throw systemError("Cannot read the output of whisper-cli", errno);
    thread_ = std::thread([this] { loop(); });
  }
  ~StderrReader() { stop(); }
  StderrReader(const StderrReader&) = delete;
  StderrReader& operator=(const StderrReader&) = delete;

  // Call once the child has exited: reads what is left in the pipe, then stops reading.
  const StderrTail& finish() {
    stop();
    return tail_;
  }

  // Valid after finish().
  bool tookGpu() const { return tookGpu_; }

 private:
  void stop() {
    if (!thread_.joinable()) return;
    uint64_t one = 1;
    while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
    thread_.join();
    fd_.reset();
  }

  void loop() {
    std::string buffer(1 << 16, '\0');
    bool draining = false;
    auto deadline = std::chrono::steady_clock::now();
    for (;;) {
      pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      int ready = ::poll(fds, draining ? 1 : 2, draining ? 0 : -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return;
      if (!draining && (fds[1].revents & POLLIN)) {
        draining = true;
        deadline = std::chrono::steady_clock::now() + DRAIN_LIMIT;
      }
      if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = ::read(fd_.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the end of the stream, or a pipe that cannot be read
        chunk(std::string_view(buffer.data(), static_cast<size_t>(n)));
        if (draining && std::chrono::steady_clock::now() > deadline) return;
        continue;
      }
      if (draining) return;  // nothing more is waiting
    }
  }

  void chunk(std::string_view bytes) {
    if (!tookGpu_) {
      recent_.append(bytes);
      for (std::string_view mark : GPU_MARKS) tookGpu_ = tookGpu_ || recent_.find(mark) != std::string::npos;
      recent_.erase(0, recent_.size() - std::min(recent_.size(), MARK_OVERLAP));
    }
    if (!isUtf8(bytes)) return;
    tail_.append(bytes);
    if (auto percent = lastProgress(bytes)) write(nlohmann::json{{"progress", *percent}}, progressPath_);
  }

  files::Descriptor fd_, wake_;
  std::string progressPath_;
  StderrTail tail_;
  std::string recent_;
  bool tookGpu_ = false;
  std::thread thread_;
};

}  // namespace

std::string whisperPath(const Job& job) {
  if (job.whisper && files::isExecutableFile(*job.whisper)) return *job.whisper;
  const std::string bundled = resourcePath() + "/whisper/whisper-cli";
  if (files::isExecutableFile(bundled)) return bundled;
  return FALLBACK_PATH;
}

namespace {

// One run of whisper-cli: its transcript, or the failure that stands for the run.
struct Outcome {
  std::optional<Transcript> transcript;
  std::string failure;
  bool tookGpu = false;
};

// `cpuOnly`: ggml does not load its Vulkan backend, and whisper-cli is told to use no GPU.
Outcome runWhisper(const Job& job, bool cpuOnly) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto ms = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
  // A folder left by a run that was killed goes now: nothing else would ever remove it.
  files::sweepPrivateFolders(PREFIX);
  const files::PrivateFolder folder(PREFIX);
  const std::string base = folder.path() + "/tovi_" + std::to_string(ms);

  process::Invocation invocation;
  invocation.executable = whisperPath(job);
  invocation.arguments = arguments(job, base, cpuOnly);
  const std::string metal = files::parent(invocation.executable) + "/libggml-metal.so";
  if (files::exists(metal)) process::setVariable(invocation, BACKEND_VARIABLE, metal);
  if (cpuOnly) process::setVariable(invocation, NO_VULKAN_VARIABLE, "1");
  invocation.out = process::Stream::null;
  invocation.err = process::Stream::pipe;

  process::Child child;
  try {
    child = process::spawn(invocation);
  } catch (const std::exception& error) {
    throw Failure("Cannot start whisper-cli (" + whisperPath(job) + "): " + error.what());
  }

  int status;
  std::string summary;
  bool tookGpu;
  {
    std::optional<StderrReader> reader;
    try {
      reader.emplace(files::Descriptor(child.errFd), job.out + ".progress");
    } catch (...) {
      process::wait(child.pid);
      throw;
    }
    status = process::wait(child.pid);
    summary = reader->finish().summary();
    tookGpu = reader->tookGpu();
  }

  const std::string failure = "whisper-cli failed (" + std::to_string(status) + "): " + summary;
  if (status == 0) {
    // Opened before the folder goes; the descriptor keeps the content readable. The folder is ours
    // alone, but whisper-cli could have left something other than a file there.
    files::Descriptor fd(::open((base + ".json").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st;
    if (fd && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode))
      return {Transcript(std::move(fd), failure), failure, tookGpu};
  }
  return {std::nullopt, failure, tookGpu};
}

}  // namespace

Transcript transcribe(const Job& job) {
  Outcome outcome = runWhisper(job, false);
  // A GPU fails where the processor would not: a driver that crashes, a device that is lost or
  // runs out of memory. Such a run is done again on the processor alone, from the start, unless
  // the helper is stopping (and so ended the run itself).
  if (!outcome.transcript && outcome.tookGpu && !process::stopping()) {
    Outcome again = runWhisper(job, true);
    if (again.transcript) return std::move(*again.transcript);
    throw Failure(again.failure);
  }
  if (outcome.transcript) return std::move(*outcome.transcript);
  throw Failure(outcome.failure);
}
