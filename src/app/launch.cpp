#include "app/launch.h"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <locale.h>
#include <unistd.h>

#include "app/bounce.h"
#include "app/delegates.h"
#include "app/runner.h"
#include "app/usage.h"
#include "app/watch.h"
#include "platform/files.h"

namespace {

double idleTime(const std::vector<std::string>& a) {
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != "--idle") continue;
    if (i + 1 >= a.size()) return 60;
    return parseIdle(a[i + 1]).value_or(60);
  }
  return 60;
}

// The documents of the open-document mode: whatever follows the first "--open".
std::optional<std::vector<std::string>> documents(const std::vector<std::string>& a) {
  for (size_t i = 1; i < a.size(); ++i)
    if (a[i] == "--open") return std::vector<std::string>(a.begin() + static_cast<long>(i) + 1, a.end());
  return std::nullopt;
}

[[noreturn]] void runApplication(ApplicationDelegate& delegate,
                                 std::optional<std::vector<std::string>> docs) {
  Application& app = Application::shared();
  app.setDelegate(&delegate);
  app.setDocuments(std::move(docs));
  app.run();
}

// What a parent leaves behind reaches the helper and its children. Standard streams left closed
// are opened on the null device, so that no file the helper opens takes their numbers and reaches
// a child as its input or output. Signals: every child's status must be waited for (an ignored
// SIGCHLD reaps children unseen), a write past a file size limit or to a closed pipe must fail
// instead of killing the process, and the signals that ask a watcher to stop must arrive.
void settleProcess() {
  for (int fd = 0; fd <= 2; ++fd)
    if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", O_RDWR) != fd) break;
  std::signal(SIGCHLD, SIG_DFL);
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Past the answers to "--help" and "--version" the helper prints nothing: its outcomes travel in
// result files. A library may still write to standard error (fontconfig does when it cannot read
// its configuration, short of descriptors say), so both standard streams go to the null device.
// A sanitizer build keeps them for its reports.
void silenceStandardStreams() {
#ifndef __SANITIZE_ADDRESS__
  const files::Descriptor null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (null) {
    ::dup2(null.get(), STDOUT_FILENO);
    ::dup2(null.get(), STDERR_FILENO);
  }
#endif
}

}  // namespace

std::optional<double> parseIdle(const std::string& text) {
  if (text.empty()) return std::nullopt;
  switch (text.front()) {
    case ' ': case '\t': case '\n': case '\v': case '\f': case '\r': return std::nullopt;
  }
  static locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
  errno = 0;
  char* end = nullptr;
  double value = strtod_l(text.c_str(), &end, c);
  if (end != text.c_str() + text.size()) return std::nullopt;
  // A range error counts only where the value could not be kept: an overflow, or an underflow
  // that read as zero (a subnormal result is still the number written).
  if (errno == ERANGE && (std::isinf(value) || value == 0)) return std::nullopt;
  return value;
}

bool watching = false;
std::vector<std::string> args;

int launch(std::vector<std::string> commandLine) {
  settleProcess();
  args = std::move(commandLine);
  const auto& a = args;

  // Asked from a terminal: answer and end, before any mode starts.
  if (a.size() == 2 && (a[1] == "--help" || a[1] == "--version")) {
    std::fputs((a[1] == "--help" ? usageText() : versionText()).c_str(), stdout);
    return 0;
  }
  silenceStandardStreams();
  if (a.size() >= 2 && a[1].ends_with(".tovijob")) {
    run(a[1]);
    return 0;
  }
  for (const auto& arg : a) {
    if (arg == "--bounce") {
      static BounceDelegate delegate;
      runApplication(delegate, std::nullopt);
    }
  }
  if (a.size() >= 3 && a[1] == "--watch") {
    watching = true;
    watch(a[2], idleTime(a));
    return 0;
  }
  static AppDelegate delegate;
  runApplication(delegate, documents(a));
}
