// Child processes started from an executable path with an explicit argument vector (never a
// shell). A child starts with every signal at its default and none blocked, with only the
// standard streams of the helper's descriptors, and, unless detached, is ended (SIGKILL) when the
// thread that started it dies, so that nothing keeps working for a helper that is gone.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace process {

enum class Stream { inherit, null, pipe };

// The child's command line and set-up.
struct Invocation {
  std::string executable;
  std::vector<std::string> arguments;               // without argv[0]; the executable stands there
  std::optional<std::vector<std::string>> environment;  // "NAME=value"; nothing inherits ours
  Stream out = Stream::inherit;
  Stream err = Stream::inherit;
  int inFd = -1;   // a descriptor of ours to give the child as standard input; -1 to inherit ours
  int outFd = -1;  // the same for standard output, in place of `out`
  int errFd = -1;  // the same for standard error, in place of `err`
  // In a session of its own, adopted by init at once: it outlives the helper, is never waited
  // for and never gathers as a zombie. spawn() then gives no pid and no pipes.
  bool detached = false;
};

struct Child {
  pid_t pid = -1;
  int outFd = -1;  // reading end when out is Stream::pipe, else -1
  int errFd = -1;  // reading end when err is Stream::pipe, else -1
};

// Starts the child. Throws std::runtime_error with the C library's description of the failure
// (for an executable that does not exist: "No such file or directory"; after stopAll(): "The
// helper is stopping"). The pipe ends are close-on-exec, so no other child inherits them.
Child spawn(const Invocation& invocation);

// Waits for the child to end; returns its exit status, or 128 + the signal that ended it.
int wait(pid_t pid);

// Asks every child that spawn() started and wait() has not yet collected to end (SIGTERM), and
// makes every later spawn() fail: for a helper that has been asked to stop. Async-signal-safe.
void stopAll();

// True once stopAll() has been called.
bool stopping();

// How to wait for a child while it runs.
struct Watch {
  int fd = -1;                    // a pipe from the child, read to its end into `output`, then closed
  std::string* output = nullptr;  // (when there is no pipe, the wait ends when the child does)
  std::function<bool()> every;    // called at once and then every `period`; false ends the child
  std::chrono::milliseconds period{50};
  std::optional<std::chrono::steady_clock::duration> limit;  // after which the child is ended
};

// Waits for the child as `watch` says, ending it (SIGKILL) when it asks so; then collects it and
// returns what wait() returns.
int wait(pid_t pid, const Watch& watch);

// The current environment as "NAME=value" strings.
std::vector<std::string> environment();

// Gives the child `name`=`value` in place of any value the variable had, in the environment the
// invocation sets or, where it sets none, in ours.
void setVariable(Invocation& invocation, const std::string& name, const std::string& value);

}  // namespace process
