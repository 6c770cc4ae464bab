// Feeds arbitrary bytes to the job decoder, and through a job file to the runner. The runner is
// driven only where no worker can start programs or touch the user's clipboard: jobs that do not
// decode, and a decoded job's answer, which goes through a job that names no audio.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "app/runner.h"
#include "jobs/job.h"
#include "jobs/writer.h"
#include "platform/files.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "tovifuzz.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    return pattern;
  }();
  std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string jobPath = dir + "/j.tovijob";
  const std::string errorPath = jobPath + ".result.json";
  const std::string out = dir + "/r.json";

  auto job = decodeJob(bytes);
  if (!job) {
    files::remove(jobPath);
    files::writeWhole(jobPath, bytes);
    run(jobPath);
    // The error file must be complete JSON.
    auto result = files::read(errorPath);
    if (!result || *result != "{\"error\":\"Unreadable job file\",\"ok\":false}") std::abort();
    files::remove(errorPath);
    return 0;
  }

  // Every decoded field must survive the writer: strings that came in as JSON are UTF-8.
  const Strings texts = job->strings.value_or(Strings());
  nlohmann::json echo = {{"out", job->out}, {"kind", job->kind.value_or("")},
                         {"strings", std::vector<std::string>(texts.begin(), texts.end())},
                         {"size", job->size.value_or(0)}, {"modelSize", job->modelSize.value_or(0)}};
  if (job->size && std::isfinite(*job->size) && !serialise(echo)) std::abort();

  nlohmann::json forced = {{"out", out}};
  files::remove(jobPath);
  files::writeWhole(jobPath, forced.dump());
  run(jobPath);
  if (!files::read(out)) std::abort();
  files::remove(out);
  return 0;
}
