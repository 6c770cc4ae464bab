// The watch loop through the built helper: claims, order, idle rules, and several watchers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <ranges>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <poll.h>
#include <sys/inotify.h>

#include "platform/process.h"
#include "support/support.h"

namespace {

using nlohmann::json;

pid_t startWatcher(const std::string& folder, const std::string& idle) {
  process::Invocation watcher;
  watcher.executable = test::helperPath();
  watcher.arguments = {"--watch", folder, "--idle", idle};
  return process::spawn(watcher).pid;
}
using Clock = std::chrono::steady_clock;

// Two jobs whose results differ: a measure job without a font and a transcription job without
// audio each fail with their own message.
json measureJob(const std::string& out) { return {{"out", out}, {"kind", "measure"}}; }
json transcribeJob(const std::string& out) { return {{"out", out}}; }

// A whisper-cli as far as a watcher can tell, cheap enough for hundreds of jobs: it logs each
// start ("<prompt> <pid> <watcher's pid>") to `starts`, writes a transcript naming the job its prompt names, and
// then stays for as long as `pause` says, as the same process.
struct Transcriber {
  Transcriber() {
    test::writeFile(dir / "whisper-cli", R"sh(#!/bin/sh
while [ $# -gt 0 ]; do
  case $1 in -of) base=$2; shift ;; --prompt) prompt=$2; shift ;; esac
  shift
done
echo "$prompt $$ $PPID" >> "${0%/*}/starts"
printf '{"job":"%s"}' "$prompt" > "$base.json"
exec sleep "$(cat "${0%/*}/pause")"
)sh");
    ::chmod((dir / "whisper-cli").c_str(), 0755);
    pause("0");
    // A WAV of 0.1 s of silence: 16 kHz, mono, 16 bits.
    const char header[] = "RIFF\xA4\x0C\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x80\x3e\0\0\0\x7d\0\0\x02\0\x10\0data\x80\x0C\0\0";
    test::writeFile(dir / "a.wav", std::string(header, sizeof header - 1) + std::string(3200, '\0'));
  }
  void pause(const std::string& seconds) const { test::writeFile(dir / "pause", seconds); }
  json job(const std::string& out, const std::string& name) const {
    return {{"out", out}, {"wav", dir / "a.wav"}, {"model", dir / "a.wav"}, {"whisper", dir / "whisper-cli"},
            {"prompt", name}};
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

// The names in `folder`.
std::set<std::string> names(const std::string& folder) {
  std::set<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) out.insert(entry.path().filename());
  return out;
}

// A process that has ended (a zombie counts: only its entry is left).
bool ended(pid_t pid) {
  auto stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
  return !stat || stat->find(") Z ") != std::string::npos;
}

TEST(Watch, RunsJobsInNameOrderAndLeavesOnlyTheirResults) {
  test::TempDir dir;
  const std::string out = dir / "r.json";
  // Both write the same result file, so the one left is the job that ran last.
  test::writeJob(dir / "b.tovijob", measureJob(out));
  test::writeJob(dir / "B.tovijob", transcribeJob(out));  // upper case sorts first
  test::writeJob(dir / "a.tovijob", transcribeJob(out));
  test::writeJob(dir / "\xC3\xA9.tovijob", transcribeJob(dir / "e.json"));  // é after ASCII
  test::writeFile(dir / "c.tovijob", "not json");
  test::writeFile(dir / "h.tovijob", "");  // 1 TB, sparse: too large to be a job, never read
  ASSERT_EQ(::truncate((dir / "h.tovijob").c_str(), off_t{1} << 40), 0);
  test::writeJob(dir / "d.TOVIJOB", transcribeJob(dir / "d.json"));
  // A claim that nobody holds is a job whose watcher died: it runs, and then a job of its name.
  test::writeJob(dir / "f.tovijob.taken", transcribeJob(dir / "f.json"));
  test::writeJob(dir / "f.tovijob", measureJob(dir / "f.json"));
  test::writeFile(dir / "g.tovijob.taken", "left over");
  // An idle time of zero, negative or NaN returns without looking at the folder.
  for (const char* idle : {"0", "-1", "nan", "-inf"}) EXPECT_EQ(test::runHelper({"--watch", dir.path, "--idle", idle}).status, 0);
  EXPECT_TRUE(test::exists(dir / "a.tovijob"));
  // Otherwise a folder is watched (a missing one too) until the time after "--idle" (not the
  // default 60 s) has passed since the last job.
  for (const std::string& folder : {dir / "missing", dir.path}) {
    const auto start = Clock::now();
    auto run = test::runHelper({"--watch", folder, "--idle", "0x1p-1"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "");
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(took, 0.5);
    EXPECT_LT(took, 50.0);
  }
  for (const char* last : {"r.json", "f.json"})
    EXPECT_EQ(test::readJson(dir / last)["error"], test::errorOfJob(measureJob(out))) << last;
  for (const char* unreadable : {"c.tovijob.taken", "g.tovijob.taken"})
    EXPECT_EQ(test::readJson(dir / unreadable + ".result.json")["error"], "Unreadable job file") << unreadable;
  EXPECT_EQ(test::readJson(dir / "h.tovijob.taken.result.json")["error"],
            "The job file is larger than 64 MB, more than any job needs");
  EXPECT_EQ(names(dir.path), (std::set<std::string>{"c.tovijob.taken.result.json", "d.TOVIJOB", "e.json", "f.json",
                                                    "g.tovijob.taken.result.json", "h.tovijob.taken.result.json",
                                                    "r.json"}));
}

TEST(Watch, NeverClaimsAJobFileOfAnotherUser) {
  test::TempDir dir;
  // A link is never claimed, not even one of ours to a file of ours.
  test::writeJob(dir / "x", transcribeJob(dir / "b.json"));
  ASSERT_EQ(::symlink((dir / "x").c_str(), (dir / "b.tovijob").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "c.tovijob").c_str(), 0644), 0);
  // A file that others may write is not the host's request; a second name of ours is no harm.
  test::writeJob(dir / "g.tovijob", transcribeJob(dir / "g.json"));
  ASSERT_EQ(::chmod((dir / "g.tovijob").c_str(), 0620), 0);
  test::writeJob(dir / "h.tovijob", transcribeJob(dir / "h.json"));
  ASSERT_EQ(::link((dir / "h.tovijob").c_str(), (dir / "h").c_str()), 0);
  test::runHelper({"--watch", dir.path, "--idle", "0.3"});
  EXPECT_EQ(names(dir.path), (std::set<std::string>{"b.tovijob", "c.tovijob", "g.tovijob", "h", "h.json", "x"}));

  if (::geteuid() != 0) GTEST_SKIP() << "making another user's file needs root";
  test::writeJob(dir / "a.tovijob", transcribeJob(dir / "a.json"));
  ASSERT_EQ(::chown((dir / "a.tovijob").c_str(), 65534, 65534), 0);
  // Another user who can write to the folder swaps a file of theirs in for each claimed job, the
  // moment it is claimed: what runs is still the file that was claimed.
  const std::string jobs = dir / "jobs", theirs = dir / "theirs";
  for (const auto& folder : {jobs, theirs}) std::filesystem::create_directories(folder);
  constexpr int count = 100;
  // Appended rather than "j" + std::to_string(i): GCC 12 at -O3 warns falsely (-Wrestrict) on that.
  const auto nameOf = [](int i, const char* suffix) { return std::string("j").append(std::to_string(i)).append(suffix); };
  for (int i = 0; i < count; ++i) {
    const std::string name = nameOf(i, ".tovijob");
    test::writeJob(theirs + "/" + name, measureJob(dir / "their.json"));
    ASSERT_EQ(::chown((theirs + "/" + name).c_str(), 65534, 65534), 0);
    test::writeJob(dir / name, transcribeJob(dir / nameOf(i, ".json")));
  }
  const int events = ::inotify_init1(IN_CLOEXEC);
  ASSERT_GE(::inotify_add_watch(events, jobs.c_str(), IN_MOVED_TO), 0);
  std::jthread swapper([&](std::stop_token stop) {
    alignas(inotify_event) char buffer[8192];
    while (!stop.stop_requested()) {
      pollfd p{events, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::read(events, buffer, sizeof buffer);
      for (char* q = buffer; q < buffer + n;) {
        const auto* event = reinterpret_cast<inotify_event*>(q);
        const std::string name = event->len ? event->name : "";
        if (name.ends_with(".tovijob.taken"))
          std::rename((theirs + "/" + name.substr(0, name.size() - 6)).c_str(), (jobs + "/" + name).c_str());
        q += sizeof(inotify_event) + event->len;
      }
    }
  });
  const pid_t watcher = startWatcher(jobs, "2");
  for (int i = 0; i < count; ++i)
    ASSERT_EQ(std::rename((dir / nameOf(i, ".tovijob")).c_str(), (jobs + "/" + nameOf(i, ".tovijob")).c_str()), 0);
  EXPECT_EQ(process::wait(watcher), 0);
  swapper.request_stop();
  swapper.join();
  ::close(events);
  test::runHelper({"--watch", dir.path, "--idle", "0.3"});
  EXPECT_TRUE(test::exists(dir / "a.tovijob"));
  EXPECT_FALSE(test::exists(dir / "a.json") || test::exists(dir / "their.json"));
  for (int i = 0; i < count; ++i) EXPECT_TRUE(test::exists(dir / nameOf(i, ".json"))) << i;
}

// A file in the folder that becomes a job of ours, with no change to the folder itself, is run.
// (Jobs that arrive while watchers wait: the several watchers below.)
TEST(Watch, PicksUpAFileThatBecomesAJobOfOurs) {
  test::TempDir dir;
  test::writeJob(dir / "g.tovijob", transcribeJob(dir / "g.json"));
  ASSERT_EQ(::chmod((dir / "g.tovijob").c_str(), 0666), 0);
  test::writeJob(dir / "z.tovijob", transcribeJob(dir / "z.json"));  // answered once g has been seen
  pid_t child = startWatcher(dir.path, "inf");
  EXPECT_TRUE(test::waitFor([&] { return test::exists(dir / "z.json"); }));
  EXPECT_FALSE(test::exists(dir / "g.json"));
  ASSERT_EQ(::chmod((dir / "g.tovijob").c_str(), 0600), 0);
  EXPECT_TRUE(test::waitFor([&] { return test::exists(dir / "g.json"); }));
  ::kill(child, SIGTERM);
  EXPECT_EQ(process::wait(child), 0);
}

// A stop (SIGINT, SIGTERM) ends whisper-cli, hands the job back and exits 0; a watcher killed
// outright takes whisper-cli with it, and its claim is run by the next watcher.
TEST(Watch, AStoppedOrKilledWatcherLosesNoJob) {
  test::TempDir dir, tmp;
  Transcriber whisper;
  whisper.pause("600");
  test::writeJob(dir / "a.tovijob", whisper.job(dir / "a.json", "a"));
  ::setenv("TMPDIR", tmp.path.c_str(), 1);
  for (int signal : {SIGINT, SIGTERM, SIGKILL}) {
    const pid_t watcher = startWatcher(dir.path, "inf");
    ASSERT_TRUE(test::waitFor([&] { return whisper.starts().size() == 1; })) << signal;
    const pid_t started = whisper.starts()[0].pid;
    std::filesystem::remove(whisper.dir / "starts");
    ::kill(watcher, signal);
    EXPECT_EQ(process::wait(watcher), signal == SIGKILL ? 128 + SIGKILL : 0);
    EXPECT_TRUE(test::waitFor([&] { return ended(started); })) << signal;
    if (signal == SIGKILL) continue;
    EXPECT_EQ(names(dir.path), std::set<std::string>{"a.tovijob"}) << signal;
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path)) << signal;
  }
  EXPECT_EQ(names(dir.path), std::set<std::string>{"a.tovijob.taken"});
  whisper.pause("0");
  test::runHelper({"--watch", dir.path, "--idle", "0.5"});
  ::unsetenv("TMPDIR");
  EXPECT_EQ(test::readJson(dir / "a.json")["whisper"], json({{"job", "a"}}));
  EXPECT_EQ(names(dir.path), std::set<std::string>{"a.json"});
}

// Three watchers on one folder, killed (SIGKILL) and restarted at random while they work through
// the jobs: every job is answered, and each runs once but for the last run of a watcher that was
// killed (killed while running it, or before it could remove its claim).
TEST(Watch, SeveralWatchersKilledAtRandomRunEveryJobOnce) {
  test::TempDir dir, tmp;  // a killed watcher cannot remove its run's folder
  Transcriber whisper;
  whisper.pause("0.05");
  ::setenv("TMPDIR", tmp.path.c_str(), 1);
  const std::string jobs = dir / "jobs";
  std::filesystem::create_directories(jobs);
  constexpr int count = 120, maxKills = 12;
  const auto name = [](int i) { return "job" + std::to_string(1000 + i); };
  for (int i = 0; i < count; ++i) test::writeJob(dir / name(i), whisper.job(dir / (name(i) + ".json"), name(i)));
  std::vector<pid_t> watchers, killed;
  for (int i = 0; i < 3; ++i) watchers.push_back(startWatcher(jobs, "inf"));
  for (int i = 0; i < count; ++i)
    ASSERT_EQ(std::rename((dir / name(i)).c_str(), (jobs + "/" + name(i) + ".tovijob").c_str()), 0);
  const auto answered = [&] {
    return std::ranges::count_if(std::views::iota(0, count), [&](int i) { return test::exists(dir / (name(i) + ".json")); });
  };
  std::mt19937 random(12345);
  while (killed.size() < maxKills && answered() < count * 9 / 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution(50, 250)(random)));
    pid_t& victim = watchers[std::uniform_int_distribution(0, 2)(random)];
    ::kill(victim, SIGKILL);
    EXPECT_EQ(process::wait(victim), 128 + SIGKILL);
    killed.push_back(victim);
    victim = startWatcher(jobs, "inf");
  }
  // Answered, and nothing left claimed: a claim whose watcher died after answering runs again.
  EXPECT_TRUE(test::waitFor([&] { return answered() == count && std::filesystem::is_empty(jobs); },
                            std::chrono::minutes(4)));
  for (pid_t watcher : watchers) {
    ::kill(watcher, SIGTERM);
    EXPECT_EQ(process::wait(watcher), 0);
  }
  ::unsetenv("TMPDIR");
  const auto starts = whisper.starts();
  std::map<pid_t, size_t> lastOf;
  for (size_t i = 0; i < starts.size(); ++i) lastOf[starts[i].watcher] = i;
  std::map<std::string, int> runs;
  for (size_t i = 0; i < starts.size(); ++i)
    runs[starts[i].name] += !(lastOf[starts[i].watcher] == i &&
                              std::find(killed.begin(), killed.end(), starts[i].watcher) != killed.end());
  for (int i = 0; i < count; ++i) {
    EXPECT_EQ(test::readJson(dir / (name(i) + ".json"))["whisper"], json({{"job", name(i)}})) << name(i);
    EXPECT_LE(runs[name(i)], 1) << name(i);
  }
  std::printf("[ figures  ] jobs %d, kills %zu, runs %zu\n", count, killed.size(), starts.size());
}

// The answer and the folder's new name for it reach the disk before the job file is removed, so
// that a power cut leaves either the job to run again or its whole answer.
TEST(Watch, AnAnswerIsOnTheDiskBeforeItsJobIsRemoved) {
  test::TempDir dir;
  const std::string jobs = dir / "jobs", outs = dir / "outs", log = dir / "log";
  for (const auto& folder : {jobs, outs}) std::filesystem::create_directories(folder);
  test::writeJob(jobs + "/a.tovijob", measureJob(outs + "/r.json"));
  // LeakSanitizer cannot run under ptrace.
  auto traced = test::runProgram(
      "/usr/bin/strace", {"-f", "-y", "-o", log, "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
                          "trace=fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat", test::helperPath(),
                          "--watch", jobs, "--idle", "0.3"});
  if (traced.status != 0 && traced.output.find("ptrace") != std::string::npos)
    GTEST_SKIP() << "strace cannot trace here: " << traced.output;
  ASSERT_EQ(traced.status, 0) << traced.output;
  EXPECT_EQ(test::readJson(outs + "/r.json")["error"], test::errorOfJob(measureJob("x")));
  // Where in the log the first successful call matching `pattern` stands, or -1.
  const std::string calls = test::readFile(log).value_or("");
  const auto first = [&](const std::string& pattern) {
    std::smatch call;
    return std::regex_search(calls, call, std::regex(pattern + "[^\n]*= 0\n")) ? call.position(0) : -1;
  };
  const auto flushed = first("sync\\(.*r\\.json\\.tmp>\\)"), moved = first("rename.*r\\.json\\.tmp\", .*r\\.json\"\\)");
  const auto folder = first("sync\\(.*<" + outs + ">\\)"), removed = first("unlink.*a\\.tovijob\\.taken\"");
  EXPECT_GE(flushed, 0);
  EXPECT_LT(flushed, moved);
  EXPECT_LT(moved, folder);
  EXPECT_LT(folder, removed);
}

// A job whose run ends its watcher (here whisper-cli kills it, as the kernel does a process out of
// memory) is answered after its third run and never holds back the job behind it.
TEST(Watch, AJobThatEndsItsWatcherThreeTimesIsAnswered) {
  test::TempDir dir;
  Transcriber whisper;
  test::writeFile(whisper.dir / "killer", "#!/bin/sh\nkill -KILL $PPID\nexec sleep 60\n");
  ::chmod((whisper.dir / "killer").c_str(), 0755);
  auto poison = whisper.job(dir / "a.json", "a");
  poison["whisper"] = whisper.dir / "killer";
  test::writeJob(dir / "a.tovijob", poison);
  test::writeJob(dir / "b.tovijob", measureJob(dir / "b.json"));
  int deaths = 0, watchers = 0;
  for (; watchers < 6 && !test::exists(dir / "a.json"); ++watchers) {
    deaths += test::runHelper({"--watch", dir.path, "--idle", "0.3"}).status == 128 + SIGKILL;
    if (watchers == 1) {
      EXPECT_TRUE(test::exists(dir / "b.json"));
    }
  }
  EXPECT_EQ(deaths, 3);
  EXPECT_EQ(watchers, 4);
  EXPECT_EQ(test::readJson(dir / "a.json")["error"],
            "The helper ended unexpectedly three times in a row while running this job (for example, it "
            "ran out of memory), so the job was not run again");
  EXPECT_EQ(names(dir.path), (std::set<std::string>{"a.json", "b.json"}));
}

// Run as another user: a folder the watcher can read but not change keeps a claim it cannot
// remove, which is run once, answered and then left; a job file its owner cannot read is answered.
TEST(Watch, AClaimThatCannotBeRemovedRunsOnceAndTheWatcherStillIdlesOut) {
  if (::geteuid() != 0) GTEST_SKIP() << "running the watcher as another user needs root";
  test::TempDir dir;
  Transcriber whisper;
  const std::string jobs = dir / "jobs", outs = dir / "outs", other = dir / "other";
  for (const auto& folder : {jobs, outs, other}) std::filesystem::create_directories(folder);
  test::writeJob(jobs + "/a.tovijob.taken", whisper.job(outs + "/a.json", "a"));
  test::writeJob(other + "/u.tovijob", transcribeJob(outs + "/u.json"));
  ASSERT_EQ(::chmod((other + "/u.tovijob").c_str(), 0200), 0);
  for (const auto& top : {dir.path, whisper.dir.path}) {
    ASSERT_EQ(::chmod(top.c_str(), 0755), 0);
    ASSERT_EQ(::chown(top.c_str(), 65534, 65534), 0);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(top))
      ASSERT_EQ(::lchown(entry.path().c_str(), 65534, 65534), 0);
  }
  ASSERT_EQ(::chmod(jobs.c_str(), 0555), 0);
  const auto watchAsNobody = [](const std::string& folder) {
    auto run = test::runProgram("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                                     test::helperPath(), "--watch", folder, "--idle", "0.5"});
    EXPECT_EQ(run.status, 0) << run.output;  // not killed for running too long
  };
  watchAsNobody(jobs);
  watchAsNobody(jobs);
  EXPECT_EQ(whisper.starts().size(), 1u);
  EXPECT_EQ(test::readJson(outs + "/a.json")["whisper"], json({{"job", "a"}}));
  watchAsNobody(other);
  EXPECT_EQ(test::readJson(other + "/u.tovijob.taken.result.json")["error"], "Unreadable job file");
  EXPECT_EQ(names(other), std::set<std::string>{"u.tovijob.taken.result.json"});
}

// Short of descriptors (a measure job needs several for fontconfig), a job whose answer cannot be
// written is never removed unanswered: it is answered, or it stays for a later watcher.
TEST(Watch, AJobWhoseAnswerCannotBeWrittenStays) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizers' own checks need descriptors and fail the helper without them";
#endif
  test::TempDir dir;
  const json job = {{"out", dir / "r.json"}, {"kind", "measure"}, {"font", "DejaVu Sans"}, {"size", 12},
                    {"strings", {"Hi"}}};
  for (const char* limit : {"--nofile=6", "--nofile=7", "--nofile=8", "--nofile=64"}) {
    std::filesystem::remove(dir / "r.json");
    test::writeJob(dir / "a.tovijob", job);
    test::runProgram("/usr/bin/prlimit", {limit, test::helperPath(), "--watch", dir.path, "--idle", "0.3"});
    EXPECT_NE(test::exists(dir / "r.json"), test::exists(dir / "a.tovijob")) << limit;
    EXPECT_FALSE(test::exists(dir / "a.tovijob.taken")) << limit;
  }
  EXPECT_EQ(test::readJson(dir / "r.json")["ok"], true);
}

}  // namespace
