// The launch-mode choice and the "--idle" reading, through the built helper where the mode shows.
#include <gtest/gtest.h>

#include <cmath>

#include "app/launch.h"
#include "support/support.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

TEST(Idle, ReadsNumbersAsStrtodDoesInTheCLocale) {
  EXPECT_EQ(parseIdle("2.5"), 2.5);
  EXPECT_EQ(parseIdle("1e2"), 100.0);
  EXPECT_EQ(parseIdle("0x1p-2"), 0.25);
  EXPECT_EQ(parseIdle("-1"), -1.0);
  EXPECT_EQ(parseIdle("0"), 0.0);
  EXPECT_EQ(parseIdle("+3."), 3.0);
  EXPECT_EQ(parseIdle("1e-310"), 1e-310);  // subnormal, still the number written
  EXPECT_TRUE(std::isinf(*parseIdle("inf")));
  EXPECT_TRUE(std::isinf(*parseIdle("-Infinity")));
  EXPECT_TRUE(std::isnan(*parseIdle("NaN")));
  for (const char* text : {"30s", " 5", "\t5", "\n5", "", "1e999", "-1e999", "1e-999", "2,5",
                           "5 ", "0x", "infinit"})
    EXPECT_FALSE(parseIdle(text)) << text;
}

TEST(Launch, JobModeIsTestedFirstAndAlwaysExitsZero) {
  test::TempDir dir;
  test::writeJob(dir / "a.tovijob", json{{"out", dir / "r.json"}});
  test::writeJob(dir / "w.tovijob", json{{"out", dir / "w.json"}});
  auto run = test::runHelper({dir / "a.tovijob", "--watch", dir.path, "--bounce"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(test::readJson(dir / "r.json")["ok"], false);
  EXPECT_TRUE(test::exists(dir / "w.tovijob"));  // no watch loop ran
}

TEST(Launch, HelpAndVersionAloneAnswerOnStandardOutputAtOnce) {
  // Answered before any mode starts: the open-document mode would take 5 s, and nothing goes to
  // standard error.
  for (const std::string option : {"--help", "--version"}) {
    auto run = test::runProgram("/bin/sh", {"-c", "exec \"$0\" \"$1\" 2>/dev/null", test::helperPath(), option},
                                std::chrono::seconds(4));
    EXPECT_FALSE(run.timedOut) << option;
    EXPECT_EQ(run.status, 0) << option;
    EXPECT_EQ(run.output, test::runHelper({option}).output) << option;
    EXPECT_TRUE(run.output.starts_with(option == "--help" ? "usage: ToviHelper JOB.tovijob"
                                                          : "ToviHelper 0.")) << run.output;
  }
  EXPECT_NE(test::runProgram(test::helperPath(), {"--version"}).output.find("whisper.cpp 1.9.1"), std::string::npos);
}

TEST(Launch, BounceAnywhereWinsOverWatch) {
  test::TempDir dir;
  test::writeJob(dir / "w.tovijob", json{{"out", dir / "w.json"}});
  auto start = Clock::now();
  auto run = test::runHelper({"--watch", dir.path, "--bounce"});
  EXPECT_EQ(run.status, 0);
  EXPECT_GE(seconds(start), 0.15);
  EXPECT_TRUE(test::exists(dir / "w.tovijob"));
}

TEST(Launch, AnythingElseIsTheOpenDocumentMode) {
  // "--watch" alone and a job extension in other letter case both start the application, which
  // ends by itself 5 s after launching when no document arrives.
  test::TempDir dir;
  test::writeJob(dir / "A.TOVIJOB", json{{"out", dir / "r.json"}});
  for (std::vector<std::string> line : {std::vector<std::string>{"--watch"},
                                        std::vector<std::string>{dir / "A.TOVIJOB"}}) {
    auto start = Clock::now();
    auto run = test::runHelper(line);
    EXPECT_EQ(run.status, 0);
    EXPECT_GE(seconds(start), 5.0);
  }
  EXPECT_FALSE(test::exists(dir / "r.json"));
  EXPECT_FALSE(test::exists(dir / "A.TOVIJOB.result.json"));
}

TEST(Launch, TheWatchFolderIsAlwaysTheSecondArgument) {
  // The idle value after "--idle" decides how long the loop lives once its job is done.
  test::TempDir dir;
  test::writeJob(dir / "a.tovijob", json{{"out", dir / "r.json"}});
  auto start = Clock::now();
  auto run = test::runHelper({"--watch", dir.path, "--idle", "0x1p-1"});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(test::exists(dir / "r.json"));
  EXPECT_GE(seconds(start), 0.5);
  EXPECT_LT(seconds(start), 50.0);  // not the default 60
}

}  // namespace
