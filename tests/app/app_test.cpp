// The helper through its built binary: the launch-mode choice and the "--idle" reading; job mode,
// one result file for every job whatever the job file holds; the watch loop, its claims, order,
// idle rules and several watchers. Always exit status 0 with nothing printed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <map>
#include <random>
#include <ranges>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "app/launch.h"
#include "platform/files.h"
#include "platform/process.h"
#include "speech/support.h"
#include "support/support.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The names in `folder`.
std::set<std::string> names(const std::string& folder) {
  std::set<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    out.insert(entry.path().filename());
  return out;
}

TEST(Idle, ReadsNumbersAsStrtodDoesInTheCLocale) {
  // A subnormal number is still the number written, and infinity is a number (a range error is
  // what makes one refused). Plain numbers, zero, NaN and negative times are left to the watch
  // tests, whose watchers would otherwise wait the default 60 s.
  EXPECT_EQ(parseIdle("1e-310"), 1e-310);
  EXPECT_EQ(parseIdle("inf"), INFINITY);
  for (const char* text : {"", " 5", "30s", "1e999", "1e-999"})
    EXPECT_FALSE(parseIdle(text)) << text;
}

// A job file first is job mode; "--bounce" anywhere wins over "--watch" (it lingers a little and
// runs no watch loop); anything else is the open-document mode, which runs the batch after
// "--open" in order and ends, or ends by itself 5 s after launching when no document arrives.
TEST(Launch, TheArgumentsChooseTheMode) {
  test::TempDir dir;
  test::writeJob(dir / "A.TOVIJOB", {{"out", dir / "A.json"}});
  // "--watch" alone and a job extension in other letter case, waiting side by side meanwhile.
  const auto launched = Clock::now();
  std::vector<pid_t> apps;
  for (const std::string& line : {std::string("--watch"), dir / "A.TOVIJOB"})
    apps.push_back(process::spawn({test::helperPath(), {line}, {}}).pid);
  // It answers where test::runJob's jobs answer too.
  test::writeJob(dir / "a.tovijob", {{"out", dir / "result.json"}});
  test::runHelper({dir / "a.tovijob", "--watch", dir.path, "--bounce"});
  EXPECT_EQ(test::readJson(dir / "result.json")["ok"], false);
  auto start = Clock::now();
  EXPECT_EQ(test::runHelper({"--watch", dir.path, "--bounce"}).status, 0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150));
  EXPECT_TRUE(test::exists(dir / "a.tovijob"));
  EXPECT_EQ(test::runHelper({"--open"}, std::chrono::seconds(4)).status, 0);  // at once, not in 5 s
  // The batch, any document, in order: the answer left is the last job's.
  test::writeFile(dir / "notes.txt", "not a job");
  const json last = test::runJob({{"kind", "measure"}}, dir.path,
                                 {"--open", dir / "a.tovijob", dir / "notes.txt"});
  EXPECT_EQ(last["error"], test::errorOfJob({{"kind", "measure"}}));
  EXPECT_EQ(test::readJson(dir / "notes.txt.result.json")["error"], "Unreadable job file");
  // "--help" and "--version" alone are answered before any mode starts, on standard output only.
  const std::pair<std::string, std::regex> answers[] = {
      {"--help", std::regex("^usage: ToviHelper JOB\\.tovijob")},
      {"--version", std::regex("^ToviHelper 0\\.[\\s\\S]*whisper\\.cpp 1\\.9\\.1")}};
  for (const auto& [option, answer] : answers) {
    auto said = test::runProgram(
        "/bin/sh", {"-c", "exec \"$0\" \"$1\" 2>/dev/null", test::helperPath(), option},
        std::chrono::seconds(4));
    EXPECT_EQ(said.status, 0) << option;  // not killed for taking too long
    EXPECT_EQ(said.output, test::runHelper({option}).output) << option;
    EXPECT_TRUE(std::regex_search(said.output, answer)) << said.output;
  }
  for (pid_t app : apps) EXPECT_EQ(process::wait(app), 0);
  EXPECT_GE(Clock::now() - launched, std::chrono::seconds(5));
  EXPECT_FALSE(test::exists(dir / "A.json") || test::exists(dir / "A.TOVIJOB.result.json"));
}

TEST(Runner, AJobThatCannotBeReadGetsItsErrorBesideIt) {
  test::TempDir dir;
  const std::string out = dir / "r.json";
  // No writer: it must not hang. (Anything else that is not a regular file, a folder say, is
  // refused by the same check.)
  ASSERT_EQ(::mkfifo((dir / "fifo.tovijob").c_str(), 0644), 0);
  // The decoder's rules (tested with it) decide; a job with a usable "out" but a bad field gets
  // no file at that "out". (A file that is no JSON at all: the watch test's "c.tovijob".)
  test::writeJob(dir / "bad.tovijob", {{"out", out}, {"size", "12"}});
  const json unreadable = {{"ok", false}, {"error", "Unreadable job file"}};
  for (const char* name : {"missing.tovijob", "fifo.tovijob", "bad.tovijob"}) {
    EXPECT_EQ(test::runHelper({dir / name}).status, 0) << name;
    EXPECT_EQ(test::readJson(dir / name + ".result.json"), unreadable) << name;
  }
  EXPECT_FALSE(test::exists(out));

  // A job of exactly 64 MB is read whole and its unknown keys ignored; one byte more, or 1 TB
  // (sparse: never read), is refused with a reason.
  std::string bytes = json{{"out", out}, {"kind", "measure"}, {"pad", ""}}.dump();
  bytes.insert(bytes.size() - 2, (size_t{64} << 20) - bytes.size(), 'x');
  test::writeFile(dir / "big.tovijob", bytes);
  EXPECT_EQ(test::runHelper({dir / "big.tovijob"}, std::chrono::seconds(240)).status, 0);
  EXPECT_EQ(test::readJson(out)["ok"], false);
  for (const off_t size : {(off_t{64} << 20) + 1, off_t{1} << 40}) {
    ASSERT_EQ(::truncate((dir / "big.tovijob").c_str(), size), 0);
    EXPECT_EQ(test::runHelper({dir / "big.tovijob"}).output, "");
    EXPECT_EQ(test::readJson(dir / "big.tovijob.result.json")["error"],
              "The job file is larger than 64 MB, more than any job needs");
  }
}

// Kinds are matched exactly: anything but "measure" and "clipboardRead" is a transcription. A
// result JSON cannot hold (six wide letters at the largest size are infinitely wide) is a failure.
TEST(Runner, TheKindChoosesTheWorkAndTheResultIsAlwaysJson) {
  const std::string transcription = test::errorOfJob(json::object());
  for (const char* kind : {"Measure", "clipboardread"})
    EXPECT_EQ(test::errorOfJob({{"kind", kind}}), transcription) << kind;
  EXPECT_EQ(test::errorOfJob({{"kind", "measure"}, {"font", "DejaVu Sans"}, {"size", 1e308},
                              {"strings", {"WWWWWW"}}}),
            "The result of this job could not be written as JSON");
}

TEST(Runner, TheResultReplacesAnOldOneAndGoesNowhereElse) {
  test::TempDir dir;
  const std::string out = dir / "r.json", victim = dir / "victim", special = dir / "special";
  test::writeFile(victim, "precious");
  test::writeJob(dir / "a.tovijob", {{"out", out}, {"kind", "measure"}});
  test::writeJob(dir / "d.tovijob", {{"out", special}, {"kind", "measure"}});
  int held = -1;
  // What others (or a writer killed halfway) may leave at a name: a file of ours (f), one a live
  // process holds (h), another user's (o), a link to the victim (l), a FIFO (p), a folder (d), the
  // null device (c, where we can make one: as root).
  const auto plant = [&](char kind, const std::string& at) {
    switch (kind) {
      case 'l': return ::symlink(victim.c_str(), at.c_str());
      case 'p': return ::mkfifo(at.c_str(), 0666);
      case 'd': return ::mkdir(at.c_str(), 0755);
      case 'c': return ::mknod(at.c_str(), S_IFCHR | 0666, ::makedev(1, 3));
    }
    test::writeFile(at, "planted");
    if (kind == 'h') return ::flock(held = ::open(at.c_str(), O_RDONLY | O_CLOEXEC), LOCK_EX);
    return kind == 'o' ? ::chown(at.c_str(), 65534, 65534) : 0;
  };
  // Whatever is planted at the temporary name is neither followed, nor opened, nor changed, and
  // the result still arrives. Only a file of our own that no live process holds is cleared away.
  // (A planted link followed shows in the victim, one moved to "out" in what stays at the name.)
  const bool root = ::geteuid() == 0;
  for (const char kind : std::string(root ? "fholpd" : "fhlpd")) {
    SCOPED_TRACE(kind);
    std::filesystem::remove_all(out + ".tmp");
    test::writeFile(out, "old");
    ASSERT_EQ(plant(kind, out + ".tmp"), 0);
    EXPECT_EQ(test::runHelper({dir / "a.tovijob"}).output, "");
    EXPECT_EQ(test::readJson(out)["ok"], false);
    // The job files, r.json, the victim and what was planted unless it was ours to clear: nothing
    // else, no answer beside the job, which stays.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 4 + (kind != 'f'));
    if (held >= 0) ::close(std::exchange(held, -1));
  }

  // A full disk (here a file size limit): the new result cannot be written, the old one must not
  // pass for it, and no part of the new one stays (beside the folder planted last).
  test::writeFile(out, "earlier");
  // (Killed at the limit, as SIGXFSZ would, it would leave its new file behind.)
  const auto full =
      test::runProgram("/usr/bin/prlimit", {"--fsize=16", test::helperPath(), dir / "a.tovijob"});
  EXPECT_EQ(full.output, "");
  EXPECT_EQ(names(dir.path),
            (std::set<std::string>{"a.tovijob", "d.tovijob", "r.json.tmp", "victim"}));

  // Something at "out" that is not a regular file is never replaced: the job is answered beside
  // its job file instead.
  for (const char kind : std::string(root ? "lpdc" : "lpd")) {
    SCOPED_TRACE(kind);
    std::filesystem::remove(special);
    std::filesystem::remove(dir / "d.tovijob.result.json");
    ASSERT_EQ(plant(kind, special), 0);
    const auto type = std::filesystem::symlink_status(special).type();
    EXPECT_EQ(test::runHelper({dir / "d.tovijob"}).status, 0);
    EXPECT_EQ(std::filesystem::symlink_status(special).type(), type);
    EXPECT_EQ(test::readJson(dir / "d.tovijob.result.json")["error"],
              "The result cannot be written to " + special + ", which is not a regular file");
  }
  EXPECT_EQ(test::readFile(victim), "precious");

  // An "out" in a missing folder, or one with a NUL inside, produces no file at all.
  for (const std::string& nowhere : {dir / "no/r.json", dir / std::string("x.json\0y", 8)}) {
    test::writeJob(dir / "b.tovijob", json{{"out", nowhere}});
    EXPECT_EQ(test::runHelper({dir / "b.tovijob"}).status, 0);
  }
  for (const char* none : {"no", "x.json", "x.json.tmp", "b.tovijob.result.json"})
    EXPECT_FALSE(test::exists(dir / none)) << none;
}

pid_t startWatcher(const std::string& folder, const std::string& idle) {
  return process::spawn({test::helperPath(), {"--watch", folder, "--idle", idle}, {}}).pid;
}

// Two jobs whose results differ: a measure job without a font and a transcription job without
// audio each fail with their own message.
json measureJob(const std::string& out) { return {{"out", out}, {"kind", "measure"}}; }
json transcribeJob(const std::string& out) { return {{"out", out}}; }

// A whisper-cli as far as a watcher can tell, cheap enough for hundreds of jobs: it logs each
// start ("<prompt> <pid> <watcher's pid>") to `starts`, writes a transcript naming the job its
// prompt names, and then stays for as long as `pause` says, as the same process.
struct Transcriber {
  Transcriber() {
    test::writeFile(dir / "whisper-cli", R"sh(#!/bin/sh
for arg; do case $last in -of) base=$arg ;; --prompt) prompt=$arg ;; esac; last=$arg; done
echo "$prompt $$ $PPID" >> "${0%/*}/starts"
printf '{"job":"%s"}' "$prompt" > "$base.json"
exec sleep "$(cat "${0%/*}/pause")"
)sh");
    ::chmod((dir / "whisper-cli").c_str(), 0755);
    pause("0");
    speech::writeTone(dir / "a.wav", 0.1);
  }
  void pause(const std::string& seconds) const { test::writeFile(dir / "pause", seconds); }
  json job(const std::string& out, const std::string& name) const {
    return {{"out", out}, {"wav", dir / "a.wav"}, {"model", dir / "a.wav"},
            {"whisper", dir / "whisper-cli"}, {"prompt", name}};
  }
  // The jobs started so far, in order, by name, with the process id of each start and its watcher.
  struct Start {
    std::string name;
    pid_t pid, watcher;
  };
  std::vector<Start> starts() const {
    std::vector<Start> out;
    std::istringstream lines(test::readFile(dir / "starts").value_or(""));
    for (Start start; lines >> start.name >> start.pid >> start.watcher;) out.push_back(start);
    return out;
  }
  test::TempDir dir;
};

// The i-th of many jobs' names, in name order, followed by `suffix`. Appended rather than
// "job" + std::to_string(...): GCC 12 at -O3 warns falsely (-Wrestrict) on that.
std::string nth(int i, const char* suffix = "") {
  return std::string("job").append(std::to_string(1000 + i)).append(suffix);
}

TEST(Watch, RunsJobsInNameOrderAndLeavesOnlyTheirResults) {
  test::TempDir dir;
  const std::string out = dir / "r.json";
  // Both write the same result file, so the one left is the job that ran last.
  test::writeJob(dir / "b.tovijob", measureJob(out));
  test::writeJob(dir / "B.tovijob", transcribeJob(out));  // upper case sorts first
  test::writeFile(dir / "c.tovijob", "not json");
  test::writeJob(dir / "d.TOVIJOB", transcribeJob(dir / "d.json"));
  // A claim that nobody holds is a job whose watcher died: it runs, and then a job of its name.
  test::writeJob(dir / "f.tovijob.taken", transcribeJob(dir / "f.json"));
  test::writeJob(dir / "f.tovijob", measureJob(dir / "f.json"));
  // An idle time of zero, negative or NaN returns without looking at the folder.
  for (const char* idle : {"0", "-1", "nan"})
    EXPECT_EQ(test::runHelper({"--watch", dir.path, "--idle", idle}).status, 0);
  EXPECT_TRUE(test::exists(dir / "b.tovijob"));
  // Otherwise a folder is watched (a missing one too) until the time after "--idle" (not the
  // default 60 s, past the limit given here) has passed since the last job.
  for (const std::string& folder : {dir / "missing", dir.path}) {
    const auto start = Clock::now();
    const auto run =
        test::runHelper({"--watch", folder, "--idle", "0x1p-1"}, std::chrono::seconds(40));
    EXPECT_EQ(run.status, 0);  // not killed at the limit
    EXPECT_EQ(run.output, "");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(500));
  }
  // What is left, each with its "error".
  std::map<std::string, json> left;
  for (const auto& name : names(dir.path)) left[name] = test::readJson(dir / name)["error"];
  const json measure = test::errorOfJob(measureJob(out));
  const std::map<std::string, json> expected = {
      {"c.tovijob.taken.result.json", "Unreadable job file"},
      {"d.TOVIJOB", nullptr},
      {"f.json", measure},
      {"r.json", measure}};
  EXPECT_EQ(left, expected);
}

// Only a job file of ours is claimed: never another user's, a link (not even one of ours to a file
// of ours), a FIFO or a file that others may write; a second name of ours is no harm. A file that
// becomes a job of ours, with no change to the folder itself, is run.
TEST(Watch, NeverClaimsAJobFileOfAnotherUser) {
  test::TempDir dir;
  const bool root = ::geteuid() == 0;  // making another user's file needs root
  std::set<std::string> left = {"b.tovijob", "c.tovijob", "g.tovijob", "h", "h.json", "x"};
  if (root) {
    test::writeJob(dir / "a.tovijob", transcribeJob(dir / "a.json"));
    ASSERT_EQ(::chown((dir / "a.tovijob").c_str(), 65534, 65534), 0);
    left.insert("a.tovijob");
  }
  test::writeJob(dir / "x", transcribeJob(dir / "b.json"));
  ASSERT_EQ(::symlink((dir / "x").c_str(), (dir / "b.tovijob").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "c.tovijob").c_str(), 0644), 0);
  test::writeJob(dir / "g.tovijob", transcribeJob(dir / "g.json"));
  ASSERT_EQ(::chmod((dir / "g.tovijob").c_str(), 0620), 0);
  // answered once the others have been seen
  test::writeJob(dir / "h.tovijob", transcribeJob(dir / "h.json"));
  ASSERT_EQ(::link((dir / "h.tovijob").c_str(), (dir / "h").c_str()), 0);
  const pid_t watcher = startWatcher(dir.path, "inf");
  const auto settled = [&] { return test::waitFor([&] { return names(dir.path) == left; }); };
  EXPECT_TRUE(settled()) << testing::PrintToString(names(dir.path));
  ASSERT_EQ(::chmod((dir / "g.tovijob").c_str(), 0600), 0);
  left.erase("g.tovijob");
  left.insert("g.json");
  EXPECT_TRUE(settled()) << testing::PrintToString(names(dir.path));
  ::kill(watcher, SIGTERM);
  EXPECT_EQ(process::wait(watcher), 0);

  if (!root) GTEST_SKIP() << "making another user's file needs root";
  // Another user who can write to the folder swaps a file of theirs in for each claimed job, the
  // moment it is claimed: what runs is still the file that was claimed.
  const test::TempDir jobs, theirs;
  constexpr int count = 100;
  for (int i = 0; i < count; ++i) {
    const std::string name = nth(i, ".tovijob");
    test::writeJob(theirs / name, measureJob(dir / "their.json"));
    ASSERT_EQ(::chown((theirs / name).c_str(), 65534, 65534), 0);
    test::writeJob(jobs / name, transcribeJob(dir / nth(i, ".json")));
  }
  const files::Descriptor events(::inotify_init1(IN_CLOEXEC));  // closed after the swapper ends
  ASSERT_GE(::inotify_add_watch(events.get(), jobs.path.c_str(), IN_MOVED_TO), 0);
  std::jthread swapper([&](std::stop_token stop) {
    alignas(inotify_event) char buffer[8192];
    for (pollfd p{events.get(), POLLIN, 0}; !stop.stop_requested();) {
      const ssize_t n = ::poll(&p, 1, 50) > 0 ? ::read(events.get(), buffer, sizeof buffer) : 0;
      for (char* q = buffer; q < buffer + n;) {
        const auto* event = reinterpret_cast<inotify_event*>(q);
        const std::string name = event->name;
        q += sizeof(inotify_event) + event->len;
        if (name.ends_with(".tovijob.taken"))
          std::rename((theirs / name.substr(0, name.size() - 6)).c_str(), (jobs / name).c_str());
      }
    }
  });
  EXPECT_EQ(test::runHelper({"--watch", jobs.path, "--idle", "2"}).status, 0);
  EXPECT_FALSE(test::exists(dir / "their.json"));
  for (int i = 0; i < count; ++i) EXPECT_TRUE(test::exists(dir / nth(i, ".json"))) << i;
}

// A stop (SIGINT, SIGTERM) ends whisper-cli, hands the job back and exits 0. A watcher killed
// outright (as the kernel kills a process out of memory) takes whisper-cli with it; its claim is
// run by the next watcher, after the job behind it, and answered instead after the third death.
TEST(Watch, AStoppedOrKilledWatcherLosesNoJob) {
  test::TempDir dir, tmp;
  Transcriber whisper;
  whisper.pause("600");
  test::writeJob(dir / "a.tovijob", whisper.job(dir / "a.json", "a"));
  test::writeJob(dir / "b.tovijob", measureJob(dir / "b.json"));
  ::setenv("TMPDIR", tmp.path.c_str(), 1);
  for (int signal : {SIGINT, SIGTERM, SIGKILL, SIGKILL, SIGKILL}) {
    SCOPED_TRACE(signal);
    const pid_t watcher = startWatcher(dir.path, "inf");
    ASSERT_TRUE(test::waitFor([&] { return whisper.starts().size() == 1; }));
    const pid_t started = whisper.starts()[0].pid;
    std::filesystem::remove(whisper.dir / "starts");
    ::kill(watcher, signal);
    EXPECT_EQ(process::wait(watcher), signal == SIGKILL ? 128 + SIGKILL : 0);
    EXPECT_TRUE(test::waitFor([&] {  // ended: gone, or only its entry left (a zombie)
      auto stat = test::readFile("/proc/" + std::to_string(started) + "/stat");
      return !stat || stat->find(") Z ") != std::string::npos;
    }));
    if (signal == SIGKILL) continue;
    EXPECT_EQ(names(dir.path), (std::set<std::string>{"a.tovijob", "b.tovijob"}));
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path));
  }
  ::unsetenv("TMPDIR");
  EXPECT_EQ(names(dir.path), (std::set<std::string>{"a.tovijob.taken", "b.json"}));
  whisper.pause("0");
  test::runHelper({"--watch", dir.path, "--idle", "0.3"});
  // (Run a fourth time, whisper-cli would now answer it.)
  EXPECT_EQ(test::readJson(dir / "a.json")["error"],
            "The helper ended unexpectedly three times in a row while running this job (for "
            "example, it ran out of memory), so the job was not run again");
  EXPECT_EQ(names(dir.path), (std::set<std::string>{"a.json", "b.json"}));
}

// Three watchers on one folder, killed (SIGKILL) and restarted at random while they work through
// the jobs: every job is answered, and each runs once but for the last run of a watcher that was
// killed (killed while running it, or before it could remove its claim).
TEST(Watch, SeveralWatchersKilledAtRandomRunEveryJobOnce) {
  test::TempDir dir, jobs, tmp;  // a killed watcher cannot remove its run's folder
  Transcriber whisper;
  whisper.pause("0.05");
  ::setenv("TMPDIR", tmp.path.c_str(), 1);
  constexpr int count = 120, maxKills = 12;
  for (int i = 0; i < count; ++i)
    test::writeJob(jobs / nth(i, ".tovijob"), whisper.job(dir / nth(i, ".json"), nth(i)));
  std::vector<pid_t> watchers, killed;
  for (int i = 0; i < 3; ++i) watchers.push_back(startWatcher(jobs.path, "inf"));
  const auto answered = [&] {
    return std::ranges::count_if(std::views::iota(0, count),
                                 [&](int i) { return test::exists(dir / nth(i, ".json")); });
  };
  std::mt19937 random(12345);
  while (killed.size() < maxKills && answered() < count * 9 / 10) {
    const int pause = std::uniform_int_distribution(50, 250)(random);
    std::this_thread::sleep_for(std::chrono::milliseconds(pause));
    pid_t& victim = watchers[std::uniform_int_distribution(0, 2)(random)];
    ::kill(victim, SIGKILL);
    EXPECT_EQ(process::wait(victim), 128 + SIGKILL);
    killed.push_back(victim);
    victim = startWatcher(jobs.path, "inf");
  }
  // Answered, and nothing left claimed: a claim whose watcher died after answering runs again.
  const auto done = [&] { return answered() == count && std::filesystem::is_empty(jobs.path); };
  EXPECT_TRUE(test::waitFor(done, std::chrono::minutes(4)));
  for (pid_t watcher : watchers) ::kill(watcher, SIGTERM);
  for (pid_t watcher : watchers) EXPECT_EQ(process::wait(watcher), 0);
  ::unsetenv("TMPDIR");
  // Runs counted from the last: a killed watcher's last run is the one that may run again.
  std::set<pid_t> seen;
  std::map<std::string, int> runs;
  for (const auto& start : std::views::reverse(whisper.starts()))
    runs[start.name] +=
        !seen.insert(start.watcher).second || std::ranges::count(killed, start.watcher) == 0;
  EXPECT_LE(std::ranges::max(runs | std::views::values), 1) << testing::PrintToString(runs);
  for (int i = 0; i < count; ++i)
    EXPECT_EQ(test::readJson(dir / nth(i, ".json"))["whisper"], json({{"job", nth(i)}}));
}

// The answer and the folder's new name for it reach the disk before the job file is removed, so
// that a power cut leaves either the job to run again or its whole answer.
TEST(Watch, AnAnswerIsOnTheDiskBeforeItsJobIsRemoved) {
  const test::TempDir jobs, outs;
  const std::string log = outs / "log";
  test::writeJob(jobs / "a.tovijob", measureJob(outs / "r.json"));
  // LeakSanitizer cannot run under ptrace.
  auto traced = test::runProgram(
      "/usr/bin/strace",
      {"-f", "-y", "-o", log, "-E", "ASAN_OPTIONS=detect_leaks=0",
       "-e", "trace=fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat",
       test::helperPath(), "--watch", jobs.path, "--idle", "0.3"});
  if (traced.status != 0 && traced.output.find("ptrace") != std::string::npos)
    GTEST_SKIP() << "strace cannot trace here: " << traced.output;
  ASSERT_EQ(traced.status, 0) << traced.output;
  // Where in the log the first successful call matching `pattern` stands, or -1.
  const auto first = [calls = test::readFile(log).value_or("")](const std::string& pattern) {
    std::smatch call;
    const std::regex succeeded(pattern + "[^\n]*= 0\n");
    return std::regex_search(calls, call, succeeded) ? call.position(0) : -1;
  };
  const auto flushed = first("sync\\(.*r\\.json\\.tmp>\\)");
  const auto moved = first("rename.*r\\.json\\.tmp\", .*r\\.json\"\\)");
  const auto folder = first("sync\\(.*<" + outs.path + ">\\)");
  const auto removed = first("unlink.*a\\.tovijob\\.taken\"");
  EXPECT_TRUE(flushed >= 0 && flushed < moved && moved < folder && folder < removed)
      << flushed << " " << moved << " " << folder << " " << removed;
}

// Run as another user: a folder the watcher can read but not change keeps a claim it cannot
// remove, which is run once, answered and then left; a job file its owner cannot read is answered.
TEST(Watch, AClaimThatCannotBeRemovedRunsOnceAndTheWatcherStillIdlesOut) {
  if (::geteuid() != 0) GTEST_SKIP() << "running the watcher as another user needs root";
  const test::TempDir jobs, outs, other;
  Transcriber whisper;
  test::writeJob(jobs / "a.tovijob.taken", whisper.job(outs / "a.json", "a"));
  test::writeJob(other / "u.tovijob", transcribeJob(outs / "u.json"));
  ASSERT_EQ(::chmod((other / "u.tovijob").c_str(), 0200), 0);
  const auto chown = test::runProgram(
      "/bin/chown", {"-R", "65534:65534", jobs.path, outs.path, other.path, whisper.dir.path});
  ASSERT_EQ(chown.status, 0);
  ASSERT_EQ(::chmod(jobs.path.c_str(), 0555), 0);
  for (const std::string& folder : {jobs.path, jobs.path, other.path}) {
    auto run = test::runProgram("/usr/bin/setpriv",
                                {"--reuid=65534", "--regid=65534", "--clear-groups",
                                 test::helperPath(), "--watch", folder, "--idle", "0.5"});
    EXPECT_EQ(run.status, 0) << run.output;  // not killed for running too long
  }
  EXPECT_EQ(whisper.starts().size(), 1u);
  EXPECT_EQ(test::readJson(outs / "a.json")["whisper"], json({{"job", "a"}}));
  EXPECT_EQ(test::readJson(other / "u.tovijob.taken.result.json")["error"], "Unreadable job file");
  EXPECT_EQ(names(other.path), std::set<std::string>{"u.tovijob.taken.result.json"});
}

// Short of descriptors (a measure job needs several for fontconfig), a job whose answer cannot be
// written is never removed unanswered: it is answered, or it stays for a later watcher; and what
// fontconfig says of it on standard error is not printed.
TEST(Watch, AJobWhoseAnswerCannotBeWrittenStays) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizers' own checks need descriptors and fail the helper without them";
#endif
  test::TempDir dir;
  const json job = {{"out", dir / "r.json"}, {"kind", "measure"}, {"font", "DejaVu Sans"},
                    {"size", 12}, {"strings", {"Hi"}}};
  for (const char* limit : {"--nofile=6", "--nofile=7", "--nofile=8", "--nofile=64"}) {
    std::filesystem::remove(dir / "r.json");
    test::writeJob(dir / "a.tovijob", job);
    const auto run = test::runProgram(
        "/usr/bin/prlimit", {limit, test::helperPath(), "--watch", dir.path, "--idle", "0.3"});
    EXPECT_EQ(run.output, "") << limit;
    // (A claim kept instead of handed back would leave neither.)
    EXPECT_NE(test::exists(dir / "r.json"), test::exists(dir / "a.tovijob")) << limit;
  }
  EXPECT_EQ(test::readJson(dir / "r.json")["ok"], true);
}

}  // namespace
