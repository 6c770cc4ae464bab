#include "speech/download.h"

#include <cerrno>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "jobs/failure.h"
#include "jobs/utf8.h"
#include "jobs/writer.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/process.h"

namespace {

constexpr const char* CURL = "/usr/bin/curl";
constexpr const char* SHASUM = "/usr/bin/shasum";
constexpr const char* FAILED = "The speech model download failed (no internet?). Try again.";
constexpr const char* DAMAGED = "The speech model download was damaged. Try again.";

// A transfer that stays below one byte per second for this long has stalled: without a limit
// curl would wait forever, and with it every later job of a watching helper.
constexpr const char* STALL_SECONDS = "60";

constexpr auto RECORD_EVERY = std::chrono::milliseconds(500);
constexpr auto CHECK_EVERY = std::chrono::milliseconds(50);

process::Child start(const process::Spec& spec) {
  try {
    return process::spawn(spec);
  } catch (const std::exception& error) {
    throw std::runtime_error("Cannot start " + spec.executable + ": " + error.what());
  }
}

void record(const Job& job, const std::string& part) {
  auto size = files::size(part);
  if (!size) return;  // curl has not created the file yet
  const __int128 percent = static_cast<__int128>(*size) * 100 / *job.modelSize;
  nlohmann::json progress{{"progress", static_cast<int64_t>(std::min<__int128>(percent, 99))},
                          {"phase", "download"}};
  write(progress, job.out + ".progress");
}

std::string readAll(int fd) {
  std::string out;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

// The first blank-separated piece of shasum's output; empty when it is not UTF-8.
std::string digestIn(const std::string& output) {
  if (!isUtf8(output)) return "";
  size_t start = output.find_first_not_of(' ');
  if (start == std::string::npos) return "";
  return output.substr(start, output.find(' ', start) - start);
}

}  // namespace

void downloadModel(const Job& job) {
  if (!job.model || !job.modelURL) return;
  const std::string& model = *job.model;
  const std::string part = model + ".part";
  files::createDirectories(files::parent(model));
  files::remove(part);  // a partial file of an earlier attempt is never resumed

  process::Spec curl;
  curl.executable = CURL;
  curl.arguments = {"-L", "--fail", "-s", "--speed-limit", "1", "--speed-time", STALL_SECONDS,
                    "-o", part, *job.modelURL};
  const process::Child fetch = start(curl);
  const bool reporting = job.modelSize && *job.modelSize > 0;
  auto nextRecord = std::chrono::steady_clock::now();
  while (process::running(fetch.pid)) {
    const auto now = std::chrono::steady_clock::now();
    if (reporting && now >= nextRecord) {
      record(job, part);
      nextRecord = now + RECORD_EVERY;
    }
    std::this_thread::sleep_for(CHECK_EVERY);
  }
  if (process::wait(fetch.pid) != 0) {
    files::remove(part);
    throw Failure(FAILED);
  }

  process::Spec shasum;
  shasum.executable = SHASUM;
  shasum.arguments = {"-a", "256", part};
  shasum.out = process::Stream::pipe;
  const process::Child digest = start(shasum);
  // Read before waiting, so that output larger than the pipe can never hold shasum up.
  const std::string output = readAll(digest.outFd);
  process::wait(digest.pid);
  if (job.modelSHA && digestIn(output) != *job.modelSHA) {
    files::remove(part);
    throw Failure(DAMAGED);
  }

  // The model must never be found half-written, also after a power cut: its bytes reach the disk
  // before its name appears.
  if (!files::sync(part)) throw systemError("Cannot write " + part, errno);
  files::move(part, model);
  const std::string folder = files::parent(model);
  files::sync(folder.empty() ? "." : folder);
}
