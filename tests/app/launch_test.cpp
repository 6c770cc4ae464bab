// The launch-mode choice, the "--idle" reading and the open-document front-end, through the built
// helper where the mode shows.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "app/launch.h"
#include "platform/process.h"
#include "support/support.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

TEST(Idle, ReadsNumbersAsStrtodDoesInTheCLocale) {
  const std::pair<const char*, double> numbers[] = {
      {"2.5", 2.5}, {"1e2", 100.0}, {"0x1p-2", 0.25}, {"-1", -1.0}, {"0", 0.0}, {"+3.", 3.0},
      {"1e-310", 1e-310} /* subnormal, still the number written */, {"inf", INFINITY},
      {"-Infinity", -INFINITY}};
  for (const auto& [text, value] : numbers) EXPECT_EQ(parseIdle(text), value) << text;
  EXPECT_TRUE(std::isnan(*parseIdle("NaN")));
  for (const char* text : {"30s", " 5", "\t5", "\n5", "", "1e999", "-1e999", "1e-999", "2,5",
                           "5 ", "0x", "infinit"})
    EXPECT_FALSE(parseIdle(text)) << text;
}

TEST(Launch, JobModeIsTestedFirstThenBounceThenWatch) {
  test::TempDir dir;
  test::writeJob(dir / "a.tovijob", json{{"out", dir / "r.json"}});
  test::writeJob(dir / "w.tovijob", json{{"out", dir / "w.json"}});
  auto run = test::runHelper({dir / "a.tovijob", "--watch", dir.path, "--bounce"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(test::readJson(dir / "r.json")["ok"], false);
  // "--bounce" anywhere wins over "--watch": it lingers a little and runs no watch loop.
  auto start = Clock::now();
  EXPECT_EQ(test::runHelper({"--watch", dir.path, "--bounce"}).status, 0);
  EXPECT_GE(seconds(start), 0.15);
  EXPECT_TRUE(test::exists(dir / "w.tovijob"));
}

TEST(Launch, HelpAndVersionAloneAnswerOnStandardOutputAtOnce) {
  // Answered before any mode starts: the open-document mode would take 5 s, and nothing goes to
  // standard error.
  for (const std::string option : {"--help", "--version"}) {
    auto run = test::runProgram("/bin/sh", {"-c", "exec \"$0\" \"$1\" 2>/dev/null", test::helperPath(), option},
                                std::chrono::seconds(4));
    EXPECT_EQ(std::make_tuple(run.timedOut, run.status, run.output),
              std::make_tuple(false, 0, test::runHelper({option}).output)) << option;
    EXPECT_TRUE(run.output.starts_with(option == "--help" ? "usage: ToviHelper JOB.tovijob" : "ToviHelper 0.")) << run.output;
    EXPECT_TRUE(option == "--help" || run.output.find("whisper.cpp 1.9.1") != std::string::npos) << run.output;
  }
}

TEST(Launch, AnythingElseIsTheOpenDocumentMode) {
  // "--watch" alone and a job extension in other letter case both start the application, which
  // ends by itself 5 s after launching when no document arrives (the two wait side by side).
  // An empty batch after "--open" ends at once.
  test::TempDir dir;
  test::writeJob(dir / "A.TOVIJOB", json{{"out", dir / "r.json"}});
  auto start = Clock::now();
  std::vector<pid_t> apps;
  for (std::vector<std::string> line : {std::vector<std::string>{"--watch"}, std::vector<std::string>{dir / "A.TOVIJOB"}}) {
    process::Invocation app;
    app.executable = test::helperPath();
    app.arguments = line;
    apps.push_back(process::spawn(app).pid);
  }
  EXPECT_EQ(test::runHelper({"--open"}).status, 0);
  EXPECT_LT(seconds(start), 4.5);
  for (pid_t app : apps) EXPECT_EQ(process::wait(app), 0);
  EXPECT_GE(seconds(start), 5.0);
  EXPECT_FALSE(test::exists(dir / "r.json"));
  EXPECT_FALSE(test::exists(dir / "A.TOVIJOB.result.json"));
}

TEST(Launch, OpenRunsTheBatchInOrderThenEnds) {
  test::TempDir dir;
  const std::string out = dir / "r.json";
  test::writeJob(dir / "first.tovijob", {{"out", out}});
  test::writeJob(dir / "second.tovijob", {{"out", out}, {"kind", "measure"}});
  test::writeFile(dir / "notes.txt", "not a job");
  auto run = test::runHelper({"--open", dir / "first.tovijob", dir / "notes.txt", dir / "second.tovijob"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(test::readJson(out)["error"], test::errorOfJob({{"kind", "measure"}}));
  EXPECT_EQ(test::readJson(dir / "notes.txt.result.json")["error"], "Unreadable job file");
  EXPECT_TRUE(test::exists(dir / "first.tovijob"));
}

}  // namespace
