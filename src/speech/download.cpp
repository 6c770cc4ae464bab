#include "speech/download.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

process::Child start(const process::Invocation& invocation) {
  try {
    return process::spawn(invocation);
  } catch (const std::exception& error) {
    throw std::runtime_error("Cannot start " + invocation.executable + ": " + error.what());
  }
}

// The size of an open file; -1 when it cannot be had.
int64_t sizeOf(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// The download's share so far, written when the job gives the model's size.
void record(const Job& job, int fd) {
  const int64_t size = sizeOf(fd);
  if (!job.modelSize || *job.modelSize <= 0 || size < 0) return;
  const __int128 percent = static_cast<__int128>(size) * 100 / *job.modelSize;
  nlohmann::json progress{{"progress", static_cast<int64_t>(std::min<__int128>(percent, 99))},
                          {"phase", "download"}};
  write(progress, job.out + ".progress");
}

// The partial file of one download, open and locked; removed on every way out unless it became
// the model.
struct Partial {
  Partial() = default;
  Partial(const Partial&) = delete;
  Partial& operator=(const Partial&) = delete;
  ~Partial() {
    if (fd && files::names(path, fd.get())) ::unlink(path.c_str());
  }
  files::Descriptor fd;
  std::string path;
};

// Opens the partial file. "<model>.part" is shared by every download of the model: a download
// that finds it locked by another waits for that one's outcome, writing its progress meanwhile;
// one left by a download that died (ours, unlocked) is taken over; anything else at that name (a
// link, a FIFO, another user's file) is left alone for a name of our own. False when the model
// arrived while waiting.
bool openPartial(const Job& job, Partial& part) {
  const std::string shared = *job.model + ".part";
  for (;;) {
    files::Descriptor fd(::open(shared.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd && errno != EEXIST) throw systemError("Cannot write " + shared, errno);
    const bool made = bool(fd);
    if (!made) fd.reset(files::openOwnFile(shared, O_RDWR));
    if (!fd) {
      auto own = files::createBeside(shared, "");
      if (!own) throw systemError("Cannot write " + shared, errno);
      part.fd.reset(own->fd);
      part.path = own->path;
      return true;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
      if (files::names(shared, fd.get()) && ::ftruncate(fd.get(), 0) == 0) {
        part.fd = std::move(fd);
        part.path = shared;
        return true;
      }
      continue;  // it has just become the model, or was removed: look again
    }
    if (!made) {
      // Another download of this model runs: its outcome is awaited, not raced.
      auto nextRecord = std::chrono::steady_clock::now();
      while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (process::stopping()) throw Failure(FAILED);
        if (std::chrono::steady_clock::now() >= nextRecord) {
          record(job, fd.get());
          nextRecord += RECORD_EVERY;
        }
        std::this_thread::sleep_for(CHECK_EVERY);
      }
    }
    fd.reset();
    if (files::exists(*job.model)) return false;
  }
}

// The first blank-separated piece of shasum's output; empty when it is not UTF-8.
std::string digestIn(const std::string& output) {
  if (!isUtf8(output)) return "";
  size_t start = output.find_first_not_of(' ');
  if (start == std::string::npos) return "";
  return output.substr(start, output.find(' ', start) - start);
}

// The SHA-256 digest of an open file as shasum gives it, read from its start.
std::string digestOf(int fd, const std::string& path) {
  // shasum reads the open file on its standard input, never by a name that could be swapped.
  if (::lseek(fd, 0, SEEK_SET) != 0) throw systemError("Cannot read " + path, errno);
  process::Invocation shasum;
  shasum.executable = SHASUM;
  shasum.arguments = {"-a", "256"};
  shasum.inFd = fd;
  shasum.out = process::Stream::pipe;
  const process::Child digest = start(shasum);
  // Read while it runs, so that output larger than the pipe can never hold shasum up.
  std::string output;
  process::Watch read;
  read.fd = digest.outFd;
  read.output = &output;
  process::wait(digest.pid, read);
  return digestIn(output);
}

// True when the file another process (another user sharing the folder, say) put at the model's
// name while this one downloaded is a regular file that passes this job's own checks: then the
// job can go on with it. A link or anything else is never opened.
bool arrivedFits(const Job& job) {
  // Looked at through an O_PATH descriptor, which opens nothing (no FIFO waits, no device wakes),
  // and read through that same descriptor only once it is seen to be a regular file.
  const files::Descriptor handle(files::handle(*job.model));
  struct stat st;
  if (!handle || ::fstat(handle.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      (job.modelSize && *job.modelSize > 0 && st.st_size > *job.modelSize))
    return false;
  const files::Descriptor fd(files::reopen(handle.get(), O_RDONLY));
  return fd && (!job.modelSHA || digestOf(fd.get(), *job.model) == *job.modelSHA);
}

}  // namespace

void downloadModel(const Job& job) {
  // An empty path names no file to download to (it would land in the working folder as ".part").
  if (!job.model || job.model->empty() || !job.modelURL) return;
  const std::string& model = *job.model;
  // A NUL would cut the path short and make the C library write elsewhere. The cause is part of
  // the message itself: an error's description would end at the NUL.
  if (!files::usable(model)) throw Failure("Cannot write " + model + ".part: " + std::strerror(EINVAL));
  files::createDirectories(files::parent(model));
  Partial part;
  if (!openPartial(job, part)) return;

  // curl writes to the partial file through its standard output, so it never opens a name that
  // someone could have swapped; "--url" keeps an address that starts with "-" an address. "-q"
  // must come first to keep curl from reading a configuration file (~/.curlrc could divert the
  // download), and only http and https are fetched, after redirects too: a file:// or gopher://
  // address would copy a local file or talk to a local service.
  process::Invocation curl;
  curl.executable = CURL;
  curl.arguments = {"-q", "-L", "--fail", "-s", "--proto", "=http,https", "--proto-redir",
                    "=http,https", "--speed-limit", "1", "--speed-time", STALL_SECONDS};
  const bool bounded = job.modelSize && *job.modelSize > 0;
  if (bounded) curl.arguments.insert(curl.arguments.end(), {"--max-filesize", std::to_string(*job.modelSize)});
  curl.arguments.insert(curl.arguments.end(), {"--url", *job.modelURL});
  curl.outFd = part.fd.get();
  const process::Child fetch = start(curl);
  process::Watch watch;
  watch.period = CHECK_EVERY;
  auto nextRecord = std::chrono::steady_clock::now();
  watch.every = [&] {
    if (std::chrono::steady_clock::now() >= nextRecord) {
      record(job, part.fd.get());
      nextRecord += RECORD_EVERY;
    }
    // curl checks its limit only against a length the server announces: a body sent without one
    // is stopped here once it outgrows the model.
    return !bounded || sizeOf(part.fd.get()) <= *job.modelSize;
  };
  if (process::wait(fetch.pid, watch) != 0 || (bounded && sizeOf(part.fd.get()) > *job.modelSize))
    throw Failure(FAILED);

  if (job.modelSHA && digestOf(part.fd.get(), part.path) != *job.modelSHA) throw Failure(DAMAGED);

  // The model must never be found half-written, also after a power cut: its bytes reach the disk
  // before its name appears.
  if (!files::flush(part.fd.get())) throw systemError("Cannot write " + part.path, errno);
  // The model's name is never taken from what is there (a link, another download's model); the
  // file that goes into place is the one open here, whose bytes were checked.
  if (!files::placeNoReplace(part.fd.get(), part.path, model)) {
    const int cause = errno;
    if (cause != EEXIST || !arrivedFits(job))
      throw systemError("Cannot move " + part.path + " to " + model, cause);
  }
  files::syncFolderOf(model);
}
