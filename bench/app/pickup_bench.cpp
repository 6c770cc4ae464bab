// Pickup latency: the time from a job file being renamed into the watched folder to its claim
// (its rename to "*.taken"), for the built helper in watch mode and, in the same run, for a plain
// loop that lists the folder and then sleeps 0.1 s. Prints the median and the 90th percentile.
//
//   pickup_bench [ROUNDS]
#include <sys/inotify.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string makeFolder(const std::string& name) {
  std::string pattern = (std::filesystem::temp_directory_path() / (name + ".XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) std::abort();
  return pattern;
}

// Drops one job into `folder` and returns the milliseconds until it was moved away.
double dropAndTime(const std::string& folder, const std::string& staging, int round) {
  int fd = ::inotify_init1(IN_CLOEXEC);
  ::inotify_add_watch(fd, folder.c_str(), IN_MOVED_FROM);
  const std::string name = "job" + std::to_string(round) + ".tovijob";
  {
    std::ofstream(staging + "/" + name) << "{\"out\":\"" << staging << "/r" << round << ".json\"}";
  }
  auto start = Clock::now();
  std::rename((staging + "/" + name).c_str(), (folder + "/" + name).c_str());
  alignas(inotify_event) char buffer[4096];
  double ms = -1;
  while (ms < 0) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) break;
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    for (char* q = buffer; q < buffer + n;) {
      auto* e = reinterpret_cast<inotify_event*>(q);
      if (e->len && name == e->name)
        ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      q += sizeof(inotify_event) + e->len;
    }
  }
  ::close(fd);
  return ms;
}

// The baseline: list, claim what ends in ".tovijob", sleep 0.1 s.
void pollLoop(const std::string& folder, const std::atomic<bool>& stop) {
  while (!stop) {
    for (const auto& name : files::list(folder))
      if (name.size() > 8 && name.ends_with(".tovijob"))
        files::renameNoReplace(folder + "/" + name, folder + "/" + name + ".taken");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

struct Figures {
  double median, p90;
};

Figures measure(const std::string& folder, const std::string& staging, int rounds) {
  std::mt19937 random(42);
  std::vector<double> ms;
  for (int i = 0; i < rounds; ++i) {
    // Arrive at a random point of the polling period.
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 100000));
    ms.push_back(dropAndTime(folder, staging, i));
  }
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[ms.size() * 9 / 10]};
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 60;
  const std::string staging = makeFolder("pickup-staging");
  const std::string watched = makeFolder("pickup-helper");
  const std::string polled = makeFolder("pickup-poll");

  process::Invocation invocation;
  invocation.executable = TOVI_HELPER_BIN;
  invocation.arguments = {"--watch", watched, "--idle", "inf"};
  auto helper = process::spawn(invocation);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let it start watching
  Figures h = measure(watched, staging, rounds);
  ::kill(helper.pid, SIGTERM);
  process::wait(helper.pid);

  std::atomic<bool> stop = false;
  std::thread poller(pollLoop, polled, std::cref(stop));
  Figures p = measure(polled, staging, rounds);
  stop = true;
  poller.join();

  std::printf("pickup latency over %d jobs (ms): helper median %.2f p90 %.2f; "
              "plain 0.1 s poll median %.2f p90 %.2f\n",
              rounds, h.median, h.p90, p.median, p.p90);
  for (const auto& f : {staging, watched, polled}) std::filesystem::remove_all(f);
  return 0;
}
