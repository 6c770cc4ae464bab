// What the tests share: a fresh temporary folder, the built helper run as a real process, files
// read and written whole, and waiting on a condition instead of sleeping.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace test {

// A fresh folder under the temporary directory, removed with everything in it at the end.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

inline std::string helperPath() { return TOVI_HELPER_BIN; }

struct Run {
  int status = -1;     // exit status, or 128 + signal
  std::string output;  // standard output and standard error together
  bool timedOut = false;
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
std::optional<std::string> readFile(const std::string& path);
nlohmann::json readJson(const std::string& path);  // throws when missing or not JSON
bool exists(const std::string& path);
inline void writeJob(const std::string& path, const nlohmann::json& job) { writeFile(path, job.dump()); }

// Writes `job` (its "out" dir/result.json) to dir/job.tovijob, runs `helper` with `arguments` and
// the job file, and gives the result, having checked that the helper ended silent with status 0
// within two minutes.
nlohmann::json runJob(nlohmann::json job, const std::string& dir, std::vector<std::string> arguments = {},
                      const std::string& helper = helperPath());

// Runs `job` (its "out" replaced) in job mode in a fresh folder and gives its "error" text.
std::string errorOfJob(nlohmann::json job);

// Polls `condition` until it holds or `limit` passes; true when it held.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::duration<double> limit = std::chrono::seconds(30));

}  // namespace test
