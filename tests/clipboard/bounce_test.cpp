// The focus bounce after a clipboard write in watch mode. The test process makes itself the
// subreaper of its descendants, so the detached bounce instances become its children when their
// starter lets go of them: it can see that each one started and ended, and that none is left.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/process.h"
#include "private_store.h"

using json = nlohmann::json;

namespace {

struct Ended {
  int count = 0;
  int failed = 0;           // ended other than by exit status 0
  int helperStatus = -1;    // set when the helper itself was reaped among them
};

struct BounceTest : PrivateStore {
  BounceTest() { EXPECT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0); }

  // Reaps every ended child: the helper, or a process adopted from it.
  static void reap(Ended& ended, pid_t helper) {
    int status = 0;
    pid_t pid;
    while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      if (pid == helper) {
        ended.helperStatus = code;
        continue;
      }
      ++ended.count;
      if (code != 0) ++ended.failed;
    }
  }

  // True when this process has no child at all, running or ended.
  static bool noChildren() {
    siginfo_t info{};
    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD;
  }

  void writeJob(const std::string& name, const std::string& xmlPath) {
    test::writeJob(jobs / (name + ".tovijob"), {{"out", jobs / (name + ".json")},
                                                {"kind", "clipboardWrite"},
                                                {"xmlPath", xmlPath},
                                                {"id", name}});
  }

  process::Child startWatching(const std::string& idle) {
    process::Spec spec;
    spec.executable = test::helperPath();
    spec.arguments = {"--watch", jobs.path, "--idle", idle};
    return process::spawn(spec);
  }

  test::TempDir jobs;
};

// The processes whose parent is `parent`, with their state letter (Z for a zombie).
std::vector<std::string> childrenOf(pid_t parent) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(line.c_str() + line.rfind(')') + 1, " %c %d", &state, &ppid) == 2 &&
        ppid == parent)
      found.push_back(line);
  }
  return found;
}

double seconds(const struct timespec& t) { return static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9; }

}  // namespace

TEST_F(BounceTest, WatchModeAnswersAWriteOnlyAfterTheBounce) {
  test::writeFile(jobs / "clip.xml", "<clip/>");
  writeJob("w", jobs / "clip.xml");
  writeJob("bad", jobs / "missing.xml");  // runs first; a failed write is never followed by a bounce
  const auto helper = startWatching("1");

  // The claimed file's change time is the moment of the claim.
  struct stat claimed {};
  ASSERT_TRUE(test::waitFor([&] { return ::stat((jobs / "w.tovijob.taken").c_str(), &claimed) == 0; }));
  ASSERT_TRUE(test::waitFor([&] { return test::exists(jobs / "w.json"); }));
  struct stat answered {};
  ASSERT_EQ(::stat((jobs / "w.json").c_str(), &answered), 0);
  // File times tick in steps of a few milliseconds, hence the small allowance.
  EXPECT_GE(seconds(answered.st_mtim) - seconds(claimed.st_ctim), 0.4 - 0.01);
  EXPECT_EQ(test::readJson(jobs / "w.json"), (json{{"ok", true}}));
  EXPECT_EQ(test::readJson(jobs / "bad.json")["ok"], false);

  Ended ended;
  ASSERT_TRUE(test::waitFor([&] { reap(ended, helper.pid); return noChildren(); }));
  EXPECT_EQ(ended.helperStatus, 0);
  EXPECT_EQ(ended.count, 1);
  EXPECT_EQ(ended.failed, 0);
}

TEST_F(BounceTest, NoOtherModeBounces) {
  test::writeFile(jobs / "clip.xml", "<clip/>");
  writeJob("job", jobs / "clip.xml");
  writeJob("opened", jobs / "clip.xml");
  ASSERT_EQ(test::runHelper({jobs / "job.tovijob"}).status, 0);
  ASSERT_EQ(test::runHelper({"--open", jobs / "opened.tovijob"}).status, 0);
  EXPECT_EQ(test::readJson(jobs / "job.json"), (json{{"ok", true}}));
  EXPECT_EQ(test::readJson(jobs / "opened.json"), (json{{"ok", true}}));
  EXPECT_TRUE(noChildren());
}

TEST_F(BounceTest, FiftyBouncesLeaveNoZombieOrStrayProcess) {
  constexpr int kJobs = 50;
  test::writeFile(jobs / "clip.xml", "<clip/>");
  char name[8];
  for (int i = 0; i < kJobs; ++i) {
    std::snprintf(name, sizeof name, "j%02d", i);
    writeJob(name, jobs / "clip.xml");
  }
  const auto helper = startWatching("2");
  Ended ended;
  ASSERT_TRUE(test::waitFor([&] {
    reap(ended, helper.pid);
    return test::exists(jobs / "j49.json");
  }, std::chrono::seconds(240)));

  // The helper is idle now: it holds on to no child, ended or not.
  const auto children = childrenOf(helper.pid);
  EXPECT_TRUE(children.empty()) << children.front();
  ASSERT_TRUE(test::waitFor([&] { reap(ended, helper.pid); return noChildren(); }));
  EXPECT_EQ(ended.helperStatus, 0);
  EXPECT_EQ(ended.count, kJobs);
  EXPECT_EQ(ended.failed, 0);
  for (int i = 0; i < kJobs; ++i) {
    std::snprintf(name, sizeof name, "j%02d", i);
    EXPECT_EQ(test::readJson(jobs / (std::string(name) + ".json")), (json{{"ok", true}}));
  }
}
