#include "app/bounce.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "platform/resources.h"

namespace {

// Starts `executable --bounce` in a session of its own through a short-lived intermediate that
// is reaped here at once: the instance is then an orphan that init adopts and reaps, so a long
// watch loop never gathers zombies, and this process waits only for the start request. Only
// async-signal-safe calls follow the fork, as another thread of the process may hold a lock.
void startDetached(const std::string& executable) {
  const char bounce[] = "--bounce";
  char* const argv[] = {const_cast<char*>(executable.c_str()), const_cast<char*>(bounce), nullptr};
  sigset_t none;
  sigemptyset(&none);

  const pid_t intermediate = ::fork();
  if (intermediate < 0) return;
  if (intermediate == 0) {
    ::setsid();
    if (::fork() == 0) {
      // The instance starts with the signals of a fresh process, as any started child does.
      struct sigaction fallback {};
      fallback.sa_handler = SIG_DFL;
      for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &fallback, nullptr);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::close_range(3, ~0U, 0);  // only the standard streams pass to it
      ::execv(executable.c_str(), argv);
      ::_exit(127);
    }
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

void bounceFocus() {
  // A start that fails is not reported: the pause follows in every case.
  const std::string executable = executablePath();
  if (!executable.empty()) startDetached(executable);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
}

void BounceDelegate::applicationDidFinishLaunching() {
  // A process without windows has no focus to take; the instance only lives out its moment.
  Application::shared().after(std::chrono::duration<double>(0.15),
                              [] { Application::shared().terminate(); });
}
