#include "app/runner.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include <sys/stat.h>

#include "app/bounce.h"
#include "app/launch.h"
#include "audio/envelope.h"
#include "clipboard/clipboard.h"
#include "jobs/failure.h"
#include "jobs/job.h"
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

// A job file is a small request (thousands of caption lines make a few hundred kilobytes); one
// beyond this cannot be one, and reading it could take all the memory there is.
constexpr size_t JOB_LIMIT = size_t{64} << 20;
constexpr const char* UNWRITABLE = "The result of this job could not be written as JSON";
constexpr const char* TOO_LARGE = "The job file is larger than 64 MB, more than any job needs";

using Fill = std::function<bool(int fd)>;

// A result held whole, written as compact JSON straight into the file (a large clip is never held
// as text). One that JSON cannot carry would leave the host waiting for a file that never comes;
// it gets a sentence instead.
Fill compact(json value) {
  Fill fill = jsonFill(std::move(value));
  if (!fill) throw Failure(UNWRITABLE);
  return fill;
}

// Writes {"ok":true,"widths":[...]} as write() would put it, in pieces, so that no text of the
// whole result is ever held (a JSON tree would take 16 bytes a number). False when a piece cannot
// be written.
bool writeWidths(const std::vector<double>& widths, int fd) {
  std::string piece = R"({"ok":true,"widths":[)";
  // Numbers hold no "/", so the JSON writer's own form of each is the file's.
  nlohmann::detail::serializer<json> number(nlohmann::detail::output_adapter<char>(piece), ' ');
  for (size_t i = 0; i < widths.size(); ++i) {
    if (i) piece += ',';
    number.dump(json(widths[i]), false, false, 0);
    if (piece.size() >= (size_t{1} << 16)) {
      if (!files::writeAll(fd, piece)) return false;
      piece.clear();
    }
  }
  piece += "]}";
  return files::writeAll(fd, piece);
}

// Runs the branch for the job's kind up to its result and gives what writes that result into the
// open result file: compact JSON for most kinds, the widths in pieces for a measurement, the
// transcript as it is read for a transcription.
Fill runBranch(Job& job) {
  const std::string kind = job.kind.value_or("transcribe");
  if (kind == "measure") {
    auto widths = std::make_shared<std::vector<double>>(measure(job));
    job.strings.reset();  // measured: only the widths are needed from here on
    if (!std::all_of(widths->begin(), widths->end(), [](double w) { return std::isfinite(w); }))
      throw Failure(UNWRITABLE);
    return [widths](int fd) { return writeWidths(*widths, fd); };
  }
  if (kind == "clipboardRead") return compact(clipboardRead());
  if (kind == "clipboardWrite") {
    clipboardWrite(job);
    if (watching) bounceFocus();
    return compact(json{{"ok", true}});
  }
  return transcriptionJob(job, [](const std::string& wav) { return Levels{HOP, envelope(wav)}; });
}

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

bool answer(const std::string& jobPath, std::optional<std::string> bytes, bool tooLarge,
            const std::string* refusal) {
  std::optional<Job> job;
  if (bytes) job = decodeJob(*bytes);
  bytes.reset();  // a large job file need not stay in memory while the job runs
  if (!job)
    return writeAnswer(*serialise(failed(tooLarge ? TOO_LARGE : "Unreadable job file")),
                       jobPath + ".result.json");
  json result;
  try {
    // Nothing would receive the answer: the job is not run at all.
    if (!files::replaceable(job->out)) return answerBeside(job->out, jobPath);
    if (refusal) throw Failure(*refusal);
    // A result found wanting halfway leaves nothing at "out"; its failure is answered below.
    const bool written = writeStream(job->out, runBranch(*job));
    return delivered(written, errno, job->out, jobPath);
  } catch (const Failure& failure) {
    result = failed(failure.message);
  } catch (const std::exception& error) {
    std::string what = error.what();
    result = failed(what.empty() ? "Unexpected error" : what);
  } catch (...) {
    result = failed("Unexpected error");
  }
  if (process::stopping()) return false;
  return deliver(*serialise(result), job->out, jobPath);
}

}  // namespace

void run(const std::string& jobPath) {
  try {
    struct stat st;
    const bool tooLarge = ::stat(jobPath.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) > JOB_LIMIT;
    answer(jobPath, files::read(jobPath, JOB_LIMIT), tooLarge, nullptr);
  } catch (...) {
    // Only memory running out even for the answer ends here; the process lives on.
  }
}

bool run(const std::string& jobPath, int fd) {
  try {
    struct stat st;
    const bool tooLarge = ::fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) > JOB_LIMIT;
    return answer(jobPath, files::readAll(fd, JOB_LIMIT), tooLarge, nullptr);
  } catch (...) {
    return false;  // not answered: the job stays for a later attempt
  }
}

bool refuse(const std::string& jobPath, int fd, const std::string& message) {
  try {
    return answer(jobPath, files::readAll(fd, JOB_LIMIT), false, &message);
  } catch (...) {
    return false;
  }
}
