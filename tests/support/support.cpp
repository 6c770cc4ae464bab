#include "support/support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/process.h"

namespace test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tovitest.XXXXXX").string();
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
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> argv{executable};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    std::vector<char*> p;
    for (auto& a : argv) p.push_back(a.data());
    p.push_back(nullptr);
    ::execv(executable.c_str(), p.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  Run result;
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit);
  char buffer[4096];
  // Read until the pipe closes or time runs out; a grandchild may keep the pipe open, so the
  // child's own exit also ends the reading.
  for (;;) {
    int status;
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      pollfd pfd{fds[0], POLLIN, 0};
      while (::poll(&pfd, 1, 0) > 0) {
        ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        result.output.append(buffer, static_cast<size_t>(n));
      }
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      result.timedOut = true;
      result.status = 128 + SIGKILL;
      break;
    }
    pollfd pfd{fds[0], POLLIN, 0};
    if (::poll(&pfd, 1, 20) > 0) {
      ssize_t n = ::read(fds[0], buffer, sizeof buffer);
      if (n > 0) result.output.append(buffer, static_cast<size_t>(n));
      if (n == 0) {
        // The child closed its end; wait for it without spinning on the closed pipe.
        ::waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
    }
  }
  ::close(fds[0]);
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
