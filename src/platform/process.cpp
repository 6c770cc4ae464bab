#include "platform/process.h"

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "platform/files.h"

extern char** environ;

namespace process {
namespace {

std::vector<char*> pointers(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (const auto& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

// Owns the spawn attributes and file actions for the length of one spawn.
struct SpawnSetup {
  SpawnSetup() {
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
  }
  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
};

void closePair(int fds[2]) {
  if (fds[0] >= 0) ::close(fds[0]);
  if (fds[1] >= 0) ::close(fds[1]);
}

// Sets up one of the child's standard streams; for a pipe, `fds` receives both ends.
bool prepare(SpawnSetup& setup, Stream stream, int target, int fds[2]) {
  switch (stream) {
    case Stream::inherit:
      return true;
    case Stream::null:
      return posix_spawn_file_actions_addopen(&setup.actions, target, "/dev/null", O_WRONLY, 0) == 0;
    case Stream::pipe:
      if (::pipe2(fds, O_CLOEXEC) != 0) return false;
      // dup2 onto the target clears close-on-exec for the child's copy only.
      return posix_spawn_file_actions_adddup2(&setup.actions, fds[1], target) == 0;
  }
  return false;
}

}  // namespace

Child spawn(const Spec& spec) {
  if (!files::usable(spec.executable)) throw std::runtime_error(std::strerror(ENOENT));
  for (const auto& a : spec.arguments)
    if (!files::usable(a)) throw std::runtime_error(std::strerror(EINVAL));

  SpawnSetup setup;
  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  if (!prepare(setup, spec.out, STDOUT_FILENO, outPipe) ||
      !prepare(setup, spec.err, STDERR_FILENO, errPipe)) {
    int err = errno;
    closePair(outPipe);
    closePair(errPipe);
    throw std::runtime_error(std::strerror(err));
  }
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (spec.newSession) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(&setup.attr, flags);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&setup.attr, &none);
  posix_spawnattr_setsigdefault(&setup.attr, &all);

  std::vector<std::string> argv{spec.executable};
  argv.insert(argv.end(), spec.arguments.begin(), spec.arguments.end());
  auto argvPointers = pointers(argv);
  std::vector<char*> envPointers;
  if (spec.environment) envPointers = pointers(*spec.environment);

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, spec.executable.c_str(), &setup.actions, &setup.attr,
                         argvPointers.data(), spec.environment ? envPointers.data() : environ);
  if (outPipe[1] >= 0) ::close(outPipe[1]);
  if (errPipe[1] >= 0) ::close(errPipe[1]);
  if (rc != 0) {
    if (outPipe[0] >= 0) ::close(outPipe[0]);
    if (errPipe[0] >= 0) ::close(errPipe[0]);
    throw std::runtime_error(std::strerror(rc));
  }
  return Child{pid, outPipe[0], errPipe[0]};
}

int wait(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

bool running(pid_t pid) {
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid == 0;
}

std::vector<std::string> environment() {
  std::vector<std::string> out;
  for (char** e = environ; e && *e; ++e) out.emplace_back(*e);
  return out;
}

}  // namespace process
