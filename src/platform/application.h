// The stand-in for the platform's application object: a run loop on the main thread with a main
// queue (work at once and after a delay), a background queue, the launch and open-documents
// delegate calls, and termination.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct ApplicationDelegate {
  virtual ~ApplicationDelegate() = default;
  virtual void applicationDidFinishLaunching() {}
  virtual void applicationOpen(const std::vector<std::string>& /*paths*/) {}
};

class Application {
 public:
  // The shared application object of the process.
  static Application& shared();

  // The delegate is not owned; the caller keeps it alive while run() runs.
  void setDelegate(ApplicationDelegate* delegate);

  // Documents handed over as one batch once launching has finished; an empty optional means no
  // open-documents call is ever made.
  void setDocuments(std::optional<std::vector<std::string>> paths);

  // Runs the event loop on the calling thread: the launch-finished call, then the documents, then
  // main-queue work as it comes. Never returns: the process ends through terminate().
  [[noreturn]] void run();

  // Main-queue work, from any thread.
  void async(std::function<void()> work);
  void after(std::chrono::duration<double> delay, std::function<void()> work);

  // Work on a background thread of default priority, from any thread.
  void background(std::function<void()> work);

  // Ends the process with status 0 at once; work still running on a background thread is not
  // waited for.
  [[noreturn]] void terminate();

 private:
  Application() = default;
  struct State;
  State* state();
};
