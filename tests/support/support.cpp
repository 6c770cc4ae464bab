#include "support/support.h"

#include <fcntl.h>

#include <fstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "platform/process.h"

namespace test {

using Clock = std::chrono::steady_clock;

TempDir::TempDir() : path(files::temporaryFolder() + "/tovitest.XXXXXX") {
  if (!::mkdtemp(path.data())) throw std::runtime_error("mkdtemp failed");
}

Run runProgram(const std::string& executable, const std::vector<std::string>& arguments,
               std::chrono::duration<double> limit) {
  // Output goes to a file rather than a pipe, so a grandchild that keeps the pipe open (a bounce
  // instance) cannot hold the test up.
  TempDir dir;
  const files::Descriptor fd(::open((dir / "output").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  process::Invocation program{executable, arguments, {}};
  program.outFd = program.errFd = fd.get();
  process::Watch bounded;
  bounded.limit = std::chrono::duration_cast<Clock::duration>(limit);
  Run result;
  try {
    result.status = process::wait(process::spawn(program).pid, bounded);
    result.output = readFile(dir / "output").value_or("");
  } catch (const std::exception&) {  // it could not be started: status 127
  }
  return result;
}

void writeFile(const std::string& path, const std::string& bytes) {
  if (!(std::ofstream(path, std::ios::binary) << bytes))
    throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

json runJob(json job, const std::string& dir, std::vector<std::string> arguments,
            const std::string& helper) {
  job["out"] = dir + "/result.json";
  std::filesystem::remove(dir + "/result.json");
  writeJob(dir + "/job.tovijob", job);
  arguments.push_back(dir + "/job.tovijob");
  const Run run = runProgram(helper, arguments, std::chrono::minutes(2));
  EXPECT_TRUE(run.status == 0 && run.output.empty()) << run.status << ": " << run.output;
  const Run checked = runProgram(TOVI_SOURCE_DIR "/tests/schema/check-files",
                                 {TOVI_SOURCE_DIR "/schema", arguments.back(), job["out"]});
  EXPECT_EQ(checked.status, 0) << checked.output;
  return readJson(job["out"]);
}

bool waitFor(const std::function<bool()>& condition, std::chrono::duration<double> limit) {
  for (const auto deadline = Clock::now() + limit; Clock::now() < deadline;
       std::this_thread::sleep_for(std::chrono::milliseconds(5)))
    if (condition()) return true;
  return condition();
}

}  // namespace test
