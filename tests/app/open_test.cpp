// The open-document front-end: the paths after "--open" arrive as one batch and run in order.
#include <gtest/gtest.h>

#include "support/support.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

TEST(OpenDocuments, RunsTheBatchInOrderThenEnds) {
  test::TempDir dir;
  const std::string out = dir / "r.json";
  test::writeJob(dir / "first.tovijob", {{"out", out}});
  test::writeJob(dir / "second.tovijob", {{"out", out}, {"kind", "measure"}});
  test::writeFile(dir / "notes.txt", "not a job");
  auto run = test::runHelper({"--open", dir / "first.tovijob", dir / "notes.txt",
                              dir / "second.tovijob"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(test::readJson(out)["error"], test::errorOfJob({{"kind", "measure"}}));
  EXPECT_EQ(test::readJson(dir / "notes.txt.result.json")["error"], "Unreadable job file");
  EXPECT_TRUE(test::exists(dir / "first.tovijob"));
}

TEST(OpenDocuments, AnEmptyBatchEndsWithoutTheFiveSecondWait) {
  auto start = Clock::now();
  auto run = test::runHelper({"--open"});
  EXPECT_EQ(run.status, 0);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 4.5);
}

}  // namespace
