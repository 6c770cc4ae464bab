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
  ASSERT_EQ(::mkdir((dir / "folder.tovijob").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo.tovijob").c_str(), 0644), 0);  // no writer: must not hang
  for (const char* name : {"missing.tovijob", "folder.tovijob", "fifo.tovijob"}) {
    EXPECT_FALSE(test::runHelper({dir / name}).timedOut);
    EXPECT_EQ(test::readJson(dir / name + ".result.json"), unreadable) << name;
  }
  // The decoder's rules (tested with it) decide; a job with a usable "out" but a bad field gets
  // no file at that "out".
  for (const std::string& bytes : {std::string(), "{\"out\":\"" + dir / "r.json" + "\",\"size\":\"12\"}"}) {
    EXPECT_EQ(runJob(dir, "bad.tovijob", bytes), unreadable) << bytes;
    EXPECT_FALSE(test::exists(dir / "r.json"));
  }
}

// A job of exactly 64 MB is read whole and its unknown keys ignored; one byte more (here sparse,
// so never read into memory) is refused with a reason.
TEST(Runner, AJobFileIsReadUpTo64MB) {
  test::TempDir dir;
  const std::string out = dir / "r.json", tail = "\",\"out\":\"" + out + "\",\"kind\":\"measure\"}";
  std::string bytes = "{\"pad\":\"";
  bytes.resize((size_t{64} << 20) - tail.size(), 'x');
  test::writeFile(dir / "big.tovijob", bytes + tail);
  bytes.clear();
  EXPECT_EQ(test::runHelper({dir / "big.tovijob"}, std::chrono::seconds(240)).status, 0);
  EXPECT_EQ(test::readJson(out)["ok"], false);
  ASSERT_EQ(::truncate((dir / "big.tovijob").c_str(), (off_t{64} << 20) + 1), 0);
  EXPECT_EQ(test::runHelper({dir / "big.tovijob"}).output, "");
  EXPECT_EQ(test::readJson(dir / "big.tovijob.result.json")["error"],
            "The job file is larger than 64 MB, more than any job needs");
}

// Kinds are matched exactly: anything but "measure" and "clipboardRead" is a transcription. A
// result JSON cannot hold (six wide letters at the largest size are infinitely wide) is a failure.
TEST(Runner, TheKindChoosesTheWorkAndTheResultIsAlwaysJson) {
  const std::string transcription = test::errorOfJob(json::object());
  for (const char* kind : {"TRANSCRIBE", "Measure", "clipboardread", ""})
    EXPECT_EQ(test::errorOfJob({{"kind", kind}}), transcription) << kind;
  EXPECT_NE(test::errorOfJob({{"kind", "measure"}}), transcription);
  EXPECT_EQ(test::errorOfJob({{"kind", "measure"}, {"font", "DejaVu Sans"}, {"size", 1e308}, {"strings", {"WWWWWW"}}}),
            "The result of this job could not be written as JSON");
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
      {[](const std::string& at) {  // another user's, where we can make one
         test::writeFile(at, "theirs");
         ASSERT_TRUE(::geteuid() != 0 || ::chown(at.c_str(), 65534, 65534) == 0);
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
  const std::function<int()> specials[] = {
      [&] { return ::mkfifo(special.c_str(), 0666); },
      [&] { return ::symlink(victim.c_str(), special.c_str()); },
      [&] { return ::mknod(special.c_str(), S_IFCHR | 0666, ::makedev(1, 3)); }};  // the null device, as root
  for (const auto& make : specials) {
    std::filesystem::remove(special);
    std::filesystem::remove(dir / "d.tovijob.result.json");
    if (make() != 0) continue;
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

}  // namespace
