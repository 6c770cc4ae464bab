#include "platform/application.h"

#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <queue>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Timed {
  Clock::time_point when;
  uint64_t order;  // work due at the same moment runs in the order it was queued
  std::function<void()> work;
  bool operator>(const Timed& other) const {
    return when != other.when ? when > other.when : order > other.order;
  }
};

}  // namespace

struct Application::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::priority_queue<Timed, std::vector<Timed>, std::greater<>> queue;
  uint64_t next = 0;
  ApplicationDelegate* delegate = nullptr;
  std::optional<std::vector<std::string>> documents;
};

Application& Application::shared() {
  static Application application;
  return application;
}

Application::State* Application::state() {
  static State state;
  return &state;
}

void Application::setDelegate(ApplicationDelegate* delegate) { state()->delegate = delegate; }

void Application::setDocuments(std::optional<std::vector<std::string>> paths) {
  state()->documents = std::move(paths);
}

void Application::async(std::function<void()> work) { after(std::chrono::seconds(0), std::move(work)); }

void Application::after(std::chrono::duration<double> delay, std::function<void()> work) {
  State* s = state();
  {
    std::lock_guard lock(s->mutex);
    s->queue.push(Timed{Clock::now() + std::chrono::duration_cast<Clock::duration>(delay), s->next++,
                        std::move(work)});
  }
  s->wake.notify_one();
}

void Application::background(std::function<void()> work) {
  std::thread(std::move(work)).detach();
}

void Application::terminate() {
  // Like the platform's termination: the process ends now, background work is not waited for.
  ::_exit(0);
}

void Application::run() {
  State* s = state();
  if (s->delegate) {
    s->delegate->applicationDidFinishLaunching();
    if (s->documents) s->delegate->applicationOpen(*s->documents);
  }
  std::unique_lock lock(s->mutex);
  for (;;) {
    if (s->queue.empty()) {
      s->wake.wait(lock);
      continue;
    }
    // A copy: the queue may grow, and move its elements, while the wait has the lock released.
    const Clock::time_point due = s->queue.top().when;
    if (due > Clock::now()) {
      s->wake.wait_until(lock, due);
      continue;
    }
    auto work = std::move(const_cast<Timed&>(s->queue.top()).work);
    s->queue.pop();
    lock.unlock();
    work();
    lock.lock();
  }
}
