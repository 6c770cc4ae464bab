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

#include "platform/files.h"
#include "platform/process.h"

namespace test {

TempDir::TempDir() {
  std::string pattern = files::temporaryFolder() + "/tovitest.XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

std::string helperPath() { return TOVI_HELPER_BIN; }

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

Run runHelper(const std::vector<std::string>& arguments, std::chrono::duration<double> limit) {
  return runProgram(helperPath(), arguments, limit);
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

void writeJob(const std::string& path, const nlohmann::json& job) { writeFile(path, job.dump()); }

std::string errorOfJob(nlohmann::json job) {
  TempDir dir;
  job["out"] = dir / "r.json";
  writeJob(dir / "j.tovijob", job);
  runHelper({dir / "j.tovijob"});
  return readJson(dir / "r.json").value("error", "");
}

bool waitFor(const std::function<bool()>& condition, std::chrono::duration<double> limit) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

}  // namespace test
