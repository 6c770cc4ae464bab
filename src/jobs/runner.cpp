#include "jobs/runner.h"

#include <cerrno>
#include <exception>
#include <variant>

#include "app/bounce.h"
#include "clipboard/clipboard.h"
#include "jobs/failure.h"
#include "jobs/job.h"
#include "jobs/program.h"
#include "jobs/utf8.h"
#include "jobs/writer.h"
#include "platform/files.h"
#include "platform/process.h"
#include "speech/transcription.h"
#include "text/measure.h"

namespace {

using json = nlohmann::json;

// Error texts can carry bytes from outside (a path, a child's output) that are not UTF-8; they are
// repaired so that the error result can always be written.
json failed(const std::string& message) {
  return json{{"ok", false}, {"error", repairUtf8(message)}};
}

// A branch's result: a value written whole, or a transcription written as its transcript is read.
std::variant<json, Transcription> runBranch(const Job& job) {
  const std::string kind = job.kind.value_or("transcribe");
  if (kind == "measure") return json{{"ok", true}, {"widths", measure(job)}};
  if (kind == "clipboardRead") return clipboardRead();
  if (kind == "clipboardWrite") {
    clipboardWrite(job);
    if (watching) bounceFocus();
    return json{{"ok", true}};
  }
  return transcriptionJob(job);
}

// A job file is a small request; one this large cannot be one, and reading it could take all
// the memory there is.
constexpr size_t JOB_LIMIT = size_t{1} << 30;

// Whether a job whose result was not written is done with (true) or is to be kept for a later
// attempt: a result that failed for want of something that may come back (descriptors, memory,
// disk space) must not take the job with it, while one whose place can never take a file (a
// missing folder, no permission, something else in its place) would fail the same way at every
// attempt.
bool settled(bool written, int cause) {
  if (written) return true;
  switch (cause) {
    case EEXIST:
    case ENOENT:
    case ENOTDIR:
    case EACCES:
    case EPERM:
    case EROFS:
    case ENAMETOOLONG:
    case ELOOP:
    case EINVAL:
      return true;
    default:
      return false;
  }
}

bool writeAnswer(const std::string& bytes, const std::string& path) {
  const bool written = writeBytes(bytes, path);
  return settled(written, errno);
}

// The answer to a job whose "out" names something that is not a regular file (a device, a FIFO,
// a link): that is never replaced, and the failure goes beside the job file instead, as for a job
// file that cannot be read.
bool answerBeside(const std::string& out, const std::string& jobPath) {
  return writeAnswer(*serialise(failed("The result cannot be written to " + out +
                                       ", which is not a regular file")),
                     jobPath + ".result.json");
}

// Whether the job is done with after an attempt to put its answer at `out`.
bool delivered(bool written, int cause, const std::string& out, const std::string& jobPath) {
  if (written) return true;
  if (cause == EEXIST && !files::replaceable(out)) return answerBeside(out, jobPath);
  return settled(false, cause);
}

bool deliver(const std::string& bytes, const std::string& out, const std::string& jobPath) {
  const bool written = writeBytes(bytes, out);
  return delivered(written, errno, out, jobPath);
}

bool answer(const std::string& jobPath, std::optional<std::string> bytes, const std::string* refusal) {
  std::optional<Job> job;
  if (bytes) job = decodeJob(*bytes);
  bytes.reset();  // a large job file need not stay in memory while the job runs
  if (!job) return writeAnswer(*serialise(failed("Unreadable job file")), jobPath + ".result.json");
  json result;
  bool threw = true;
  try {
    // Nothing would receive the answer: the job is not run at all.
    if (!files::replaceable(job->out)) return answerBeside(job->out, jobPath);
    if (refusal) throw Failure(*refusal);
    auto branch = runBranch(*job);
    if (const auto* transcription = std::get_if<Transcription>(&branch)) {
      // A transcript found wanting halfway leaves nothing at "out"; its failure is answered below.
      std::exception_ptr error;
      const bool written = writeStream(job->out, [&](int fd) {
        try {
          return writeResult(*transcription, fd);
        } catch (...) {
          error = std::current_exception();
          return false;
        }
      });
      if (!error) return delivered(written, errno, job->out, jobPath);
      std::rethrow_exception(error);
    }
    result = std::move(std::get<json>(branch));
    threw = false;
  } catch (const Failure& failure) {
    result = failed(failure.message);
  } catch (const std::exception& error) {
    std::string what = error.what();
    result = failed(what.empty() ? "Unexpected error" : what);
  } catch (...) {
    result = failed("Unexpected error");
  }
  if (threw && process::stopping()) return false;
  // A result that cannot be written as JSON (a width that overflowed to infinity, say) would
  // leave the host waiting for a file that never comes; it gets an error result instead.
  auto serialised = serialise(result);
  result = json();
  if (!serialised)
    serialised = serialise(failed("The result of this job could not be written as JSON"));
  return deliver(*serialised, job->out, jobPath);
}

}  // namespace

void run(const std::string& jobPath) {
  try {
    answer(jobPath, files::read(jobPath, JOB_LIMIT), nullptr);
  } catch (...) {
    // Only memory running out even for the answer ends here; the process lives on.
  }
}

bool run(const std::string& jobPath, int fd) {
  try {
    return answer(jobPath, files::readAll(fd, JOB_LIMIT), nullptr);
  } catch (...) {
    return false;  // not answered: the job stays for a later attempt
  }
}

bool refuse(const std::string& jobPath, int fd, const std::string& message) {
  try {
    return answer(jobPath, files::readAll(fd, JOB_LIMIT), &message);
  } catch (...) {
    return false;
  }
}
