// The runner through the built helper in job mode: one result file for every job, whatever the
// job file holds, and always exit status 0 with nothing printed.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <utility>

#include "support/support.h"

namespace {

using nlohmann::json;

json runJob(const test::TempDir& dir, const std::string& name, const std::string& bytes) {
  const std::string path = dir / name;
  test::writeFile(path, bytes);
  auto run = test::runHelper({path});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, "");
  auto out = json::parse(bytes, nullptr, false);
  if (out.is_object() && out.contains("out") && out["out"].is_string() && test::exists(out["out"]))
    return test::readJson(out["out"]);
  return test::readJson(path + ".result.json");
}

const json unreadable = {{"ok", false}, {"error", "Unreadable job file"}};

TEST(Runner, AJobThatCannotBeReadGetsItsErrorBesideIt) {
  test::TempDir dir;
  auto run = test::runHelper({dir / "missing.tovijob"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(test::readJson(dir / "missing.tovijob.result.json"), unreadable);

  ASSERT_EQ(::mkdir((dir / "folder.tovijob").c_str(), 0755), 0);
  EXPECT_EQ(test::runHelper({dir / "folder.tovijob"}).status, 0);
  EXPECT_EQ(test::readJson(dir / "folder.tovijob.result.json"), unreadable);

  // A FIFO with no writer must not hang the helper.
  ASSERT_EQ(::mkfifo((dir / "fifo.tovijob").c_str(), 0644), 0);
  auto fifo = test::runHelper({dir / "fifo.tovijob"}, std::chrono::seconds(60));
  EXPECT_FALSE(fifo.timedOut);
  EXPECT_EQ(test::readJson(dir / "fifo.tovijob.result.json"), unreadable);

  // A file beyond the limit (sparse) is not read into memory, and the answer says why; one at the
  // limit is read (and holds no job).
  test::writeFile(dir / "huge.tovijob", "");
  for (const off_t size : {off_t{64} << 20, (off_t{64} << 20) + 1}) {
    ASSERT_EQ(::truncate((dir / "huge.tovijob").c_str(), size), 0);
    auto huge = test::runHelper({dir / "huge.tovijob"});
    EXPECT_EQ(huge.status, 0);
    EXPECT_EQ(huge.output, "");
    EXPECT_EQ(test::readJson(dir / "huge.tovijob.result.json")["error"],
              size == off_t{64} << 20 ? "Unreadable job file" : "The job file is larger than 64 MB, more than any job needs");
  }

  for (const std::string& bytes : std::vector<std::string>{"", "[]", "{\"kind\":\"measure\"}", "{\"out\":5}",
                                  "{\"out\":\"" + dir / "r.json" + "\",\"size\":\"12\"}"}) {
    EXPECT_EQ(runJob(dir, "bad.tovijob", bytes), unreadable) << bytes;
    EXPECT_FALSE(test::exists(dir / "r.json"));
  }
}

TEST(Runner, EveryUnknownKindRunsTheTranscriptionJob) {
  test::TempDir dir;
  const std::string out = dir / "r.json";
  auto base = runJob(dir, "a.tovijob", json{{"out", out}}.dump());
  EXPECT_EQ(base["ok"], false);
  for (const char* kind : {"transcribe", "Transcribe", "TRANSCRIBE", "Measure", "clipboardread",
                           "anything", ""}) {
    EXPECT_EQ(runJob(dir, "a.tovijob", json{{"out", out}, {"kind", kind}}.dump()), base) << kind;
  }
  auto measure = runJob(dir, "a.tovijob", json{{"out", out}, {"kind", "measure"}}.dump());
  EXPECT_EQ(measure["ok"], false);
  EXPECT_NE(measure, base);
}

TEST(Runner, TheResultReplacesAnOldOneAndGoesNowhereElse) {
  test::TempDir dir;
  const std::string out = dir / "r.json", victim = dir / "victim";
  const std::string job = json{{"out", out}, {"kind", "measure"}}.dump();
  // Whatever someone planted at the temporary name is neither followed, nor opened, nor changed,
  // and the result still arrives. Only a file of our own that no live process holds (a writer
  // killed halfway left it) is cleared away.
  int held = -1;
  const std::pair<std::function<void(const std::string&)>, bool> plants[] = {
      {[](const std::string& at) { test::writeFile(at, "stale"); }, false},
      {[&](const std::string& at) {
         test::writeFile(at, "in use");
         held = ::open(at.c_str(), O_RDONLY | O_CLOEXEC);
         ASSERT_EQ(::flock(held, LOCK_EX), 0);
       }, true},
      {[](const std::string& at) {
         test::writeFile(at, "another user's");
         if (::geteuid() == 0) {
           ASSERT_EQ(::chown(at.c_str(), 65534, 65534), 0);
         }
       }, ::geteuid() == 0},
      {[&](const std::string& at) { ASSERT_EQ(::symlink(victim.c_str(), at.c_str()), 0); }, true},
      {[](const std::string& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0666), 0); }, true},
      {[](const std::string& at) { ASSERT_EQ(::mkdir(at.c_str(), 0755), 0); }, true}};
  for (const auto& [plant, stays] : plants) {
    std::filesystem::remove_all(out + ".tmp");
    test::writeFile(out, "old");
    test::writeFile(victim, "precious");
    plant(out + ".tmp");
    auto result = runJob(dir, "a.tovijob", job);
    EXPECT_EQ(result["ok"], false);
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(out)));
    EXPECT_EQ(test::readFile(victim), "precious");
    EXPECT_EQ(std::filesystem::exists(std::filesystem::symlink_status(out + ".tmp")), stays);
    // job, r.json, victim and what stayed
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 3 + stays);
    if (held >= 0) ::close(std::exchange(held, -1));
  }
  EXPECT_TRUE(std::filesystem::is_directory(out + ".tmp"));
  EXPECT_FALSE(test::exists(dir / "a.tovijob.result.json"));
  EXPECT_TRUE(test::exists(dir / "a.tovijob"));  // the runner leaves the job file in place

  // A full disk (here a file size limit): the new result cannot be written, and the old one
  // must not pass for it.
  test::writeFile(out, "earlier");
  auto full = test::runProgram("/usr/bin/prlimit", {"--fsize=16", test::helperPath(), dir / "a.tovijob"});
  EXPECT_EQ(full.status, 0);
  EXPECT_EQ(full.output, "");
  EXPECT_FALSE(test::exists(out));

  // Something at "out" that is not a regular file is never replaced: the job is answered beside
  // its job file instead.
  const std::string special = dir / "special";
  test::writeJob(dir / "d.tovijob", json{{"out", special}, {"kind", "measure"}});
  const std::function<void()> specials[] = {
      [&] { ASSERT_EQ(::mkfifo(special.c_str(), 0666), 0); },
      [&] { ASSERT_EQ(::symlink(victim.c_str(), special.c_str()), 0); },
      [&] {  // the null device's numbers, made here (as root)
        if (::geteuid() == 0) {
          ASSERT_EQ(::mknod(special.c_str(), S_IFCHR | 0666, ::makedev(1, 3)), 0);
        }
      }};
  for (const auto& make : specials) {
    std::filesystem::remove(special);
    std::filesystem::remove(dir / "d.tovijob.result.json");
    make();
    if (!std::filesystem::exists(std::filesystem::symlink_status(special))) continue;
    const auto type = std::filesystem::symlink_status(special).type();
    EXPECT_EQ(test::runHelper({dir / "d.tovijob"}).status, 0);
    EXPECT_EQ(std::filesystem::symlink_status(special).type(), type);
    EXPECT_EQ(test::readJson(dir / "d.tovijob.result.json")["error"],
              "The result cannot be written to " + special + ", which is not a regular file");
  }
  EXPECT_EQ(test::readFile(victim), "precious");

  // An "out" in a missing folder, or one with a NUL inside, produces no file at all.
  test::writeJob(dir / "b.tovijob", json{{"out", dir / "no/r.json"}});
  test::writeJob(dir / "c.tovijob", json{{"out", dir / std::string("x.json\0y", 8)}});
  EXPECT_EQ(test::runHelper({dir / "b.tovijob"}).status, 0);
  EXPECT_EQ(test::runHelper({dir / "c.tovijob"}).status, 0);
  EXPECT_FALSE(test::exists(dir / "no"));
  EXPECT_FALSE(test::exists(dir / "x.json"));
  EXPECT_FALSE(test::exists(dir / "b.tovijob.result.json"));
}

// Large, yet within the limit of 64 MB.
TEST(Runner, ALargeJobFileIsReadAndItsUnknownKeysIgnored) {
  test::TempDir dir;
  const std::string out = dir / "r.json";
  std::string bytes = "{\"pad\":\"" + std::string(60u << 20, 'x') + "\",\"out\":\"" + out +
                      "\",\"kind\":\"measure\"}";
  test::writeFile(dir / "big.tovijob", bytes);
  bytes.clear();
  auto run = test::runHelper({dir / "big.tovijob"}, std::chrono::seconds(240));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(test::readJson(out)["ok"], false);
}

}  // namespace

namespace {

TEST(Runner, AResultThatCannotBeWrittenBecomesAnErrorResult) {
  // Six wide letters at the largest size overflow to an infinite width, which JSON cannot hold.
  test::TempDir dir;
  auto result = runJob(dir, "a.tovijob",
                       json{{"out", dir / "r.json"}, {"kind", "measure"}, {"font", "DejaVu Sans"},
                            {"size", 1e308}, {"strings", {"WWWWWW"}}}
                           .dump());
  EXPECT_EQ(result, (json{{"ok", false},
                          {"error", "The result of this job could not be written as JSON"}}));
}

}  // namespace
