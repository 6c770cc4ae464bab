#include "client/helper.h"

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

nlohmann::json runJob(nlohmann::json job, const std::function<void(const Progress&)>& onProgress) {
  if (stopSignal) throw std::runtime_error("Stopped");
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
