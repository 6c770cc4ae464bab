#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>

#include "platform/files.h"

extern char** environ;

namespace process {
namespace {

// The children that spawn() started and wait() has not collected, for stopAll(), which may run
// in a signal handler: plain atomics only, no locks and no allocation.
constexpr int SLOTS = 32;
std::atomic<pid_t> children[SLOTS];
std::atomic<bool> stopRequested{false};

void enrol(pid_t pid) {
  for (auto& slot : children) {
    pid_t free = 0;
    if (slot.compare_exchange_strong(free, pid)) return;
  }
}

void release(pid_t pid) {
  for (auto& slot : children) {
    pid_t mine = pid;
    if (slot.compare_exchange_strong(mine, 0)) return;
  }
}

std::vector<char*> pointers(const std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (const auto& s : strings) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

void closePair(int fds[2]) {
  if (fds[0] >= 0) ::close(fds[0]);
  if (fds[1] >= 0) ::close(fds[1]);
}

// Makes `fd` the child's descriptor `target`, inheritable.
bool place(int fd, int target) {
  if (fd == target) return ::fcntl(fd, F_SETFD, 0) == 0;
  return ::dup2(fd, target) == target;
}

// Ends a child that could not become the program, telling the parent why (errno).
[[noreturn]] void reportAndExit(int report) {
  const int err = errno;
  while (::write(report, &err, sizeof err) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

// What the child does between fork and exec: async-signal-safe calls only, as other threads of
// the helper may have held locks at the fork. Reports the errno of a failure through `report`.
[[noreturn]] void becomeChild(const Invocation& invocation, pid_t parent, char* const argv[], char* const envp[],
                              int outPipe, int errPipe, int report) {
  const auto fail = [report] { reportAndExit(report); };
  if (invocation.detached) {
    // An intermediate that ends at once leaves the child to init.
    ::setsid();
    const pid_t child = ::fork();
    if (child < 0) fail();
    if (child > 0) ::_exit(0);
  } else {
    // The child ends with the thread that started it; a parent already gone is caught here.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail();
    if (::getppid() != parent) ::_exit(127);
  }

  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &fallback, nullptr);

  if (invocation.inFd >= 0 && !place(invocation.inFd, STDIN_FILENO)) fail();
  if (invocation.outFd >= 0) {
    if (!place(invocation.outFd, STDOUT_FILENO)) fail();
  } else if (invocation.out == Stream::pipe) {
    if (!place(outPipe, STDOUT_FILENO)) fail();
  }
  if (invocation.errFd >= 0) {
    if (!place(invocation.errFd, STDERR_FILENO)) fail();
  } else if (invocation.err == Stream::pipe) {
    if (!place(errPipe, STDERR_FILENO)) fail();
  }
  const bool nullOut = invocation.out == Stream::null && invocation.outFd < 0,
             nullErr = invocation.err == Stream::null && invocation.errFd < 0;
  if (nullOut || nullErr) {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) fail();
    if (nullOut && !place(null, STDOUT_FILENO)) fail();
    if (nullErr && !place(null, STDERR_FILENO)) fail();
  }
  // Only the standard streams pass: whatever else the helper, or whoever started it, holds open
  // stays with it. The report pipe closes at exec by itself.
  if (report > 3) ::close_range(3, static_cast<unsigned>(report) - 1, 0);
  ::close_range(static_cast<unsigned>(report) + 1, ~0U, 0);

  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(invocation.executable.c_str(), argv, envp);
  reportAndExit(report);
}

}  // namespace

Child spawn(const Invocation& invocation) {
  if (!files::usable(invocation.executable)) throw std::runtime_error(std::strerror(ENOENT));
  for (const auto& a : invocation.arguments)
    if (!files::usable(a)) throw std::runtime_error(std::strerror(EINVAL));
  if (stopping()) throw std::runtime_error("The helper is stopping");

  std::vector<std::string> argv{invocation.executable};
  argv.insert(argv.end(), invocation.arguments.begin(), invocation.arguments.end());
  auto argvPointers = pointers(argv);
  std::vector<char*> envPointers;
  if (invocation.environment) envPointers = pointers(*invocation.environment);
  char* const* envp = invocation.environment ? envPointers.data() : environ;

  int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1}, report[2] = {-1, -1};
  const bool pipes = !invocation.detached;
  const bool piped = (!pipes || invocation.out != Stream::pipe || invocation.outFd >= 0 ||
                      ::pipe2(outPipe, O_CLOEXEC) == 0) &&
                     (!pipes || invocation.err != Stream::pipe || invocation.errFd >= 0 ||
                      ::pipe2(errPipe, O_CLOEXEC) == 0) &&
                     ::pipe2(report, O_CLOEXEC) == 0;
  if (!piped) {
    const int err = errno;
    closePair(outPipe);
    closePair(errPipe);
    closePair(report);
    throw std::runtime_error(std::strerror(err));
  }

  // Signals wait until the child is enrolled, so that stopAll() in a handler cannot miss it; the
  // child unblocks them once it has set every handler back to the default.
  sigset_t all, previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) becomeChild(invocation, parent, argvPointers.data(), envp, outPipe[1], errPipe[1], report[1]);
  const int forkError = errno;
  if (pid > 0 && !invocation.detached) enrol(pid);
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  ::close(report[1]);
  if (outPipe[1] >= 0) ::close(outPipe[1]);
  if (errPipe[1] >= 0) ::close(errPipe[1]);
  int childError = 0;
  if (pid > 0) {
    ssize_t n;
    while ((n = ::read(report[0], &childError, sizeof childError)) < 0 && errno == EINTR) {
    }
    if (n != sizeof childError) childError = 0;  // closed at exec: the program runs
  }
  ::close(report[0]);
  if (pid < 0 || childError != 0) {
    if (pid > 0) wait(pid);
    if (outPipe[0] >= 0) ::close(outPipe[0]);
    if (errPipe[0] >= 0) ::close(errPipe[0]);
    throw std::runtime_error(std::strerror(pid < 0 ? forkError : childError));
  }
  if (invocation.detached) {
    wait(pid);  // the intermediate
    return Child{};
  }
  if (stopping()) ::kill(pid, SIGTERM);
  return Child{pid, outPipe[0], errPipe[0]};
}

int wait(pid_t pid) {
  // The child stays a zombie, its pid taken, until it has left the list that stopAll() reads.
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  release(pid);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int wait(pid_t pid, const Watch& watch) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = watch.limit ? Clock::now() + *watch.limit : Clock::time_point::max();
  // Readable once the child has ended; without it (an old kernel) the child is looked at every
  // period.
  files::Descriptor ended(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  files::Descriptor pipe(watch.fd);
  auto nextCall = Clock::now();
  bool end = false;
  for (char buffer[4096];;) {
    const auto now = Clock::now();
    if (watch.every && now >= nextCall) {
      if (!watch.every()) end = true;
      nextCall = now + watch.period;
    }
    if (end || now >= deadline) {
      ::kill(pid, SIGKILL);
      break;
    }
    auto wake = deadline;
    if (watch.every) wake = std::min(wake, nextCall);
    if (!pipe && !ended) wake = std::min(wake, now + watch.period);
    const int timeout = wake == Clock::time_point::max()
                            ? -1
                            : static_cast<int>(std::min<int64_t>(
                                  std::chrono::ceil<std::chrono::milliseconds>(wake - now).count(), 60000));
    pollfd fds[1] = {{pipe ? pipe.get() : ended.get(), POLLIN, 0}};
    const int ready = ::poll(fds, fds[0].fd >= 0 ? 1 : 0, timeout);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) {
      if (!pipe && !ended) {
        siginfo_t info;
        std::memset(&info, 0, sizeof info);
        const int flags = WEXITED | WNOHANG | WNOWAIT;
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, flags) != 0 || info.si_pid != 0) break;
      }
      continue;
    }
    if (!pipe) break;  // the child has ended
    const ssize_t n = ::read(pipe.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (watch.output) watch.output->append(buffer, static_cast<size_t>(n));
  }
  pipe.reset();
  return wait(pid);
}

void stopAll() {
  stopRequested.store(true);
  for (auto& slot : children) {
    const pid_t pid = slot.load();
    if (pid > 0) ::kill(pid, SIGTERM);
  }
}

bool stopping() { return stopRequested.load(); }

std::vector<std::string> environment() {
  std::vector<std::string> out;
  for (char** e = environ; e && *e; ++e) out.emplace_back(*e);
  return out;
}

void setVariable(Invocation& invocation, const std::string& name, const std::string& value) {
  if (!invocation.environment) invocation.environment = environment();
  const std::string prefix = name + "=";
  std::erase_if(*invocation.environment, [&](const std::string& entry) { return entry.starts_with(prefix); });
  invocation.environment->push_back(prefix + value);
}

}  // namespace process
