// The watch loop through the built helper: claims, order, idle rules, and several watchers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/process.h"
#include "support/support.h"

namespace {

using nlohmann::json;

pid_t startWatcher(const std::string& folder, const std::string& idle) {
  process::Spec spec;
  spec.executable = test::helperPath();
  spec.arguments = {"--watch", folder, "--idle", idle};
  return process::spawn(spec).pid;
}
using Clock = std::chrono::steady_clock;

// Two jobs whose results differ: a measure job without a font and a transcription job without
// audio each fail with their own message.
json measureJob(const std::string& out) { return {{"out", out}, {"kind", "measure"}}; }
json transcribeJob(const std::string& out) { return {{"out", out}}; }

TEST(Watch, IdleOfZeroNegativeOrNanReturnsWithoutLookingAtTheFolder) {
  test::TempDir dir;
  test::writeJob(dir / "a.tovijob", transcribeJob(dir / "r.json"));
  for (const char* idle : {"0", "-1", "nan", "-inf"}) {
    auto run = test::runHelper({"--watch", dir.path, "--idle", idle});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(test::exists(dir / "a.tovijob")) << idle;
  }
  EXPECT_FALSE(test::exists(dir / "r.json"));
}

TEST(Watch, AMissingFolderIsWatchedUntilTheIdleTimeHasPassed) {
  test::TempDir dir;
  auto start = Clock::now();
  auto run = test::runHelper({"--watch", dir / "missing", "--idle", "0.3"});
  EXPECT_EQ(run.status, 0);
  EXPECT_GE(std::chrono::duration<double>(Clock::now() - start).count(), 0.3);
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
  test::writeJob(dir / "d.TOVIJOB", transcribeJob(dir / "d.json"));
  test::writeJob(dir / "f.tovijob.taken", transcribeJob(dir / "f.json"));
  auto run = test::runHelper({"--watch", dir.path, "--idle", "0.5"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(test::readJson(out)["error"], test::errorOfJob(measureJob(out)));
  EXPECT_TRUE(test::exists(dir / "e.json"));
  EXPECT_EQ(test::readJson(dir / "c.tovijob.taken.result.json")["error"], "Unreadable job file");
  for (const char* gone : {"a.tovijob", "b.tovijob", "B.tovijob", "a.tovijob.taken",
                           "b.tovijob.taken", "c.tovijob", "c.tovijob.taken"})
    EXPECT_FALSE(test::exists(dir / gone)) << gone;
  EXPECT_TRUE(test::exists(dir / "d.TOVIJOB"));
  EXPECT_FALSE(test::exists(dir / "d.json"));
  EXPECT_FALSE(test::exists(dir / "f.json"));
}

TEST(Watch, ALeftOverClaimBlocksTheJobOfTheSameName) {
  test::TempDir dir;
  test::writeJob(dir / "a.tovijob", transcribeJob(dir / "a.json"));
  test::writeFile(dir / "a.tovijob.taken", "left over");
  test::runHelper({"--watch", dir.path, "--idle", "0.3"});
  EXPECT_TRUE(test::exists(dir / "a.tovijob"));
  EXPECT_EQ(test::readFile(dir / "a.tovijob.taken"), "left over");
  EXPECT_FALSE(test::exists(dir / "a.json"));
}

TEST(Watch, NeverClaimsAJobFileOfAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "making another user's file needs root";
  test::TempDir dir;
  test::writeJob(dir / "a.tovijob", transcribeJob(dir / "a.json"));
  ASSERT_EQ(::chown((dir / "a.tovijob").c_str(), 65534, 65534), 0);
  // A link of ours to another user's file is not taken either.
  test::writeJob(dir / "x", transcribeJob(dir / "b.json"));
  ASSERT_EQ(::chown((dir / "x").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::symlink((dir / "x").c_str(), (dir / "b.tovijob").c_str()), 0);
  test::runHelper({"--watch", dir.path, "--idle", "0.3"});
  EXPECT_TRUE(test::exists(dir / "a.tovijob"));
  EXPECT_TRUE(test::exists(dir / "b.tovijob"));
  EXPECT_FALSE(test::exists(dir / "a.json"));
  EXPECT_FALSE(test::exists(dir / "b.json"));
}

TEST(Watch, PicksUpAJobThatArrivesWhileItWaits) {
  test::TempDir dir;
  pid_t child = startWatcher(dir.path, "3");
  test::writeJob(dir / "a.tmp", transcribeJob(dir / "a.json"));
  ASSERT_EQ(std::rename((dir / "a.tmp").c_str(), (dir / "a.tovijob").c_str()), 0);
  EXPECT_TRUE(test::waitFor([&] { return test::exists(dir / "a.json"); }));
  EXPECT_EQ(process::wait(child), 0);
  EXPECT_FALSE(test::exists(dir / "a.tovijob"));
}

TEST(Watch, SeveralWatchersRunEveryJobExactlyOnce) {
  test::TempDir dir;
  const std::string jobs = dir / "jobs";
  ::mkdir(jobs.c_str(), 0755);
  constexpr int count = 150;
  std::vector<pid_t> watchers;
  for (int i = 0; i < 3; ++i)
    watchers.push_back(startWatcher(jobs, "2"));
  for (int i = 0; i < count; ++i) {
    std::string name = "job" + std::to_string(1000 + i);
    test::writeJob(dir / name, transcribeJob(dir / (name + ".json")));
    ASSERT_EQ(std::rename((dir / name).c_str(), (jobs + "/" + name + ".tovijob").c_str()), 0);
  }
  for (pid_t pid : watchers) EXPECT_EQ(process::wait(pid), 0);
  const std::string expected = test::errorOfJob(transcribeJob("x"));
  for (int i = 0; i < count; ++i) {
    std::string name = "job" + std::to_string(1000 + i);
    EXPECT_EQ(test::readJson(dir / (name + ".json"))["error"], expected) << name;
    EXPECT_FALSE(test::exists(dir / (name + ".json.tmp")));
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(jobs),
                          std::filesystem::directory_iterator()), 0);
}

}  // namespace
