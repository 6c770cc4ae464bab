// What the tests share: a fresh temporary folder, the built helper run as a real process, files
// read and written whole, and waiting on a condition instead of sleeping.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/files.h"

namespace test {

using json = nlohmann::json;

// A fresh folder under the temporary directory, removed with everything in it at the end.
struct TempDir {
  TempDir();
  ~TempDir() { std::error_code ec; std::filesystem::remove_all(path, ec); }
  TempDir(const TempDir&) = delete;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

inline std::string helperPath() { return TOVI_HELPER_BIN; }

struct Run {
  int status = 127;    // exit status, or 128 + signal; 127 when it could not be started
  std::string output;  // standard output and standard error together
};

// Runs a program with `arguments` (not counting argv[0]), inheriting every descriptor of ours but
// the standard streams, and waits for it to end, killing it after `limit`.
Run runProgram(const std::string& executable, const std::vector<std::string>& arguments,
               std::chrono::duration<double> limit = std::chrono::seconds(60));
inline Run runHelper(const std::vector<std::string>& arguments,
                     std::chrono::duration<double> limit = std::chrono::seconds(60)) {
  return runProgram(helperPath(), arguments, limit);
}

void writeFile(const std::string& path, const std::string& bytes);
inline std::optional<std::string> readFile(const std::string& path) { return files::read(path); }
inline json readJson(const std::string& path) { return json::parse(readFile(path).value()); }
// Anything at the path, a dangling link too.
bool exists(const std::string& path);
inline void writeJob(const std::string& path, const json& job) { writeFile(path, job.dump()); }

// Writes `job` (its "out" dir/result.json) to dir/job.tovijob, runs `helper` with `arguments` and
// the job file, and gives the result, having checked that the helper ended silent with status 0
// within two minutes and that the job, the result and the progress file match their JSON Schemas
// (tests/schema/check-files).
json runJob(json job, const std::string& dir, std::vector<std::string> arguments = {},
            const std::string& helper = helperPath());

// Runs `job` (its "out" replaced) in job mode in a fresh folder and gives its "error" text.
inline std::string errorOfJob(const json& job) {
  return runJob(job, TempDir().path).value("error", "");
}

// Polls `condition` until it holds or `limit` passes; true when it held.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::duration<double> limit = std::chrono::seconds(30));

}  // namespace test
