#include "support/support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/process.h"

namespace test {

TempDir::TempDir() {
  path = files::temporaryFolder() + "/tovitest.XXXXXX";
  if (!::mkdtemp(path.data())) throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

Run runProgram(const std::string& executable, const std::vector<std::string>& arguments,
               std::chrono::duration<double> limit) {
  // Output goes to a file rather than a pipe, so a grandchild that keeps the pipe open (a bounce
  // instance) cannot hold the test up.
  TempDir dir;
  const std::string log = dir / "output";
  const files::Descriptor fd(::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  process::Invocation program;
  program.executable = executable;
  program.arguments = arguments;
  program.outFd = program.errFd = fd.get();
  Run result;
  pid_t pid;
  try {
    pid = process::spawn(program).pid;
  } catch (const std::exception&) {
    result.status = 127;
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  process::Watch bounded;
  bounded.limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit);
  result.status = process::wait(pid, bounded);
  result.timedOut = result.status == 128 + SIGKILL && std::chrono::steady_clock::now() >= deadline;
  result.output = readFile(log).value_or("");
  return result;
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

nlohmann::json readJson(const std::string& path) {
  auto bytes = readFile(path);
  if (!bytes) throw std::runtime_error("no file at " + path);
  return nlohmann::json::parse(*bytes);
}

bool exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

nlohmann::json runJob(nlohmann::json job, const std::string& dir, std::vector<std::string> arguments,
                      const std::string& helper) {
  job["out"] = dir + "/result.json";
  std::filesystem::remove(dir + "/result.json");
  writeJob(dir + "/job.tovijob", job);
  arguments.push_back(dir + "/job.tovijob");
  const Run run = runProgram(helper, arguments, std::chrono::minutes(2));
  EXPECT_TRUE(run.status == 0 && run.output.empty()) << run.status << ": " << run.output;
  return readJson(job["out"]);
}

std::string errorOfJob(nlohmann::json job) {
  TempDir dir;
  return runJob(job, dir.path).value("error", "");
}

bool waitFor(const std::function<bool()>& condition, std::chrono::duration<double> limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

}  // namespace test
