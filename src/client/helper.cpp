#include "client/helper.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "jobs/writer.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/resources.h"

namespace {

volatile std::sig_atomic_t stopSignal = 0;

void noteSignal(int signal) { stopSignal = signal; }

// A folder nobody else can plant anything in; removed with its files on every way out.
struct Folder {
  Folder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tovi.XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
      throw std::runtime_error("Cannot create a folder in " + files::parent(pattern) + ": " + std::strerror(errno));
    path = pattern;
  }
  ~Folder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  std::string path;
};

}  // namespace

std::string helperExecutable() {
  const std::string self = executablePath();
  return (self.empty() ? std::string(".") : files::parent(self)) + "/ToviHelper";
}

void stopOnSignals() {
  struct sigaction action {};
  action.sa_handler = noteSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int stopSignalReceived() { return stopSignal; }

std::string transcriptionDevice() {
  const std::string cpu = "on the CPU";
  process::Spec spec;
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
  if (stopSignal) throw std::runtime_error("Stopped");
  Folder folder;
  const std::string out = folder.path + "/result.json", jobPath = folder.path + "/job.tovijob";
  job["out"] = out;
  const auto bytes = serialise(job);
  if (!bytes) throw std::runtime_error("The job cannot be written as JSON (is every text UTF-8?)");
  if (!files::writeWhole(jobPath, *bytes)) throw std::runtime_error("Cannot write the job file " + jobPath);

  process::Spec spec;
  spec.executable = helperExecutable();
  spec.arguments = {jobPath};
  spec.out = process::Stream::null;
  spec.err = process::Stream::null;
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
    if (stopSignal) {
      ::kill(child.pid, SIGTERM);
      process::wait(child.pid);
      throw std::runtime_error("Stopped");
    }
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
