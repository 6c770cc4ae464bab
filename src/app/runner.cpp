#include "app/runner.h"

#include <functional>

#include "app/bounce.h"
#include "app/launch.h"
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

// A result held whole, written as compact JSON. One that JSON cannot carry (a width that
// overflowed to infinity, say) would leave the host waiting for a file that never comes; it gets
// a sentence instead.
std::function<bool(int fd)> compact(const json& value) {
  auto bytes = serialise(value);
  if (!bytes) throw Failure("The result of this job could not be written as JSON");
  return [bytes = std::move(*bytes)](int fd) { return files::writeAll(fd, bytes); };
}

// Runs the branch for the job's kind up to its result and gives what writes that result into the
// open result file: compact JSON for most kinds, the transcript as it is read for a transcription.
std::function<bool(int fd)> runBranch(const Job& job) {
  const std::string kind = job.kind.value_or("transcribe");
  if (kind == "measure") return compact(json{{"ok", true}, {"widths", measure(job)}});
  if (kind == "clipboardRead") return compact(clipboardRead());
  if (kind == "clipboardWrite") {
    clipboardWrite(job);
    if (watching) bounceFocus();
    return compact(json{{"ok", true}});
  }
  return transcriptionJob(job);
}

// A job file is a small request; one this large cannot be one, and reading it could take all
// the memory there is.
constexpr size_t JOB_LIMIT = size_t{1} << 30;

bool answer(const std::string& jobPath, std::optional<std::string> bytes) {
  std::optional<Job> job;
  if (bytes) job = decodeJob(*bytes);
  bytes.reset();  // a large job file need not stay in memory while the job runs
  if (!job) {
    write(failed("Unreadable job file"), jobPath + ".result.json");
    return true;
  }
  json result;
  try {
    // A result found wanting halfway leaves nothing at "out"; its failure is answered below.
    writeStream(job->out, runBranch(*job));
    return true;
  } catch (const Failure& failure) {
    result = failed(failure.message);
  } catch (const std::exception& error) {
    std::string what = error.what();
    result = failed(what.empty() ? "Unexpected error" : what);
  } catch (...) {
    result = failed("Unexpected error");
  }
  if (process::stopping()) return false;
  write(result, job->out);
  return true;
}

}  // namespace

void run(const std::string& jobPath) {
  try {
    answer(jobPath, files::read(jobPath, JOB_LIMIT));
  } catch (...) {
    // Only memory running out even for the answer ends here; the process lives on.
  }
}

bool run(const std::string& jobPath, int fd) {
  try {
    return answer(jobPath, files::readAll(fd, JOB_LIMIT));
  } catch (...) {
    return true;
  }
}
