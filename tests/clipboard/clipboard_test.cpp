// Clipboard jobs through the built helper, the per-user pasteboard store beneath them, the
// companion command, and the focus bounce in watch mode. Every test gets a store of its own:
// XDG_RUNTIME_DIR points into a fresh folder that the helper and the companion command inherit.
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <future>

#include <gtest/gtest.h>

#include "clipboard/clipboard.h"
#include "platform/pasteboard.h"
#include "platform/process.h"
#include "support/support.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

const json kOk{{"ok", true}};
const json kNoClip{{"ok", false},
                   {"error", "No Premiere clip on the clipboard: "
                             "select one caption clip in Premiere and press \xE2\x8C\x98" "C"}};
const std::string kId{PR_ID}, kXml{PR_XML};

test::Run tool(const std::vector<std::string>& a) { return test::runProgram(TOVI_PASTEBOARD_BIN, a); }

struct Clipboard : ::testing::Test {
  Clipboard() { ::setenv("XDG_RUNTIME_DIR", dir.path.c_str(), 1); }
  std::string store() const { return dir / "ToviHelper/pasteboard"; }

  json write(const std::string& xml, const json& id, const std::vector<std::string>& launch = {}) {
    test::writeFile(dir / "clip.xml", xml);
    const json job{{"kind", "clipboardWrite"}, {"xmlPath", dir / "clip.xml"}, {"id", id}};
    return test::runJob(job, dir.path, launch);
  }
  json read() { return test::runJob({{"kind", "clipboardRead"}}, dir.path); }

  test::TempDir dir;
};

TEST_F(Clipboard, StoreKeepsDeclaredTypesPrivatelyAndReplacesThemWhole) {
  const std::string bytes("a\0b\xff\n", 5);
  EXPECT_FALSE(pasteboard::set("x", bytes)) << "nothing is declared yet";
  ASSERT_TRUE(pasteboard::declare({"x", "a/b c%", ".", ""}));
  EXPECT_EQ(pasteboard::declared(), (std::vector<std::string>{"x", "a/b c%", ".", ""}));
  EXPECT_TRUE(pasteboard::set("x", bytes));
  EXPECT_TRUE(pasteboard::set("a/b c%", ""));
  EXPECT_TRUE(pasteboard::set(".", "."));
  EXPECT_FALSE(pasteboard::set("", "no file can bear an empty name"));
  EXPECT_EQ(pasteboard::lookup("x"), bytes);
  EXPECT_EQ(pasteboard::lookup("a/b c%"), "");
  for (const std::string& path : {dir / "ToviHelper", store(), store() + "/x"})
    EXPECT_EQ(int(fs::symlink_status(path).permissions()), fs::is_directory(path) ? 0700 : 0600) << path;

  // A reader beside a writer sees the old bytes or the new, never a mix. Nothing half-made is
  // left beside the type and the declaration, and the types that the new declaration leaves out
  // are gone (what a reader sees of a declaration that keeps one type and drops another is the
  // editor's id declared away in ReadNeedsTheXmlAndForgivesABadId).
  const std::string small(1000, 's'), large(4 << 20, 'L');
  std::atomic<bool> done{false};
  ASSERT_TRUE(pasteboard::declare({"x"}) && pasteboard::set("x", small));
  auto torn = std::async(std::launch::async, [&] {
    int n = 0;
    for (std::optional<std::string> got; !done;) {
      got = pasteboard::lookup("x");
      n += got != small && got != large;
    }
    return n;
  });
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(pasteboard::set("x", i % 2 ? small : large));
  done = true;
  EXPECT_EQ(torn.get(), 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(store()), {}), 2);
  // Cleared, the store is empty: no declaration is left to name a type.
  ASSERT_TRUE(pasteboard::clear());
  EXPECT_TRUE(fs::is_empty(store()));
}

TEST_F(Clipboard, StoreNeverUsesAFolderOthersCouldReach) {
  ASSERT_EQ(write("<old/>", "old"), kOk);
  const auto refused = [] {
    return !pasteboard::lookup(kXml) && pasteboard::declared().empty() &&
           !pasteboard::set(kXml, "") && !pasteboard::declare({"x"}) && !pasteboard::clear();
  };
  for (const auto mode : {0750, 0705}) {
    fs::permissions(store(), fs::perms(mode));
    EXPECT_TRUE(refused()) << std::oct << mode;
  }
  EXPECT_EQ(write("<new/>", "new"),
            (json{{"ok", false}, {"error", "Couldn't put the captions on the clipboard"}}));
  fs::permissions(store(), fs::perms::owner_all);
  EXPECT_EQ(pasteboard::lookup(kXml), "<old/>");

  // A link in place of the store's own folder is not followed, even to a private folder.
  fs::rename(dir / "ToviHelper", dir / "elsewhere");
  fs::create_directory_symlink(dir / "elsewhere", dir / "ToviHelper");
  EXPECT_TRUE(refused());
  fs::remove(dir / "ToviHelper");
  fs::rename(dir / "elsewhere", dir / "ToviHelper");

  // The runtime folder holds the store only when it is absolute and ours; else it is under /tmp.
  const std::string fallback = "/tmp/ToviHelper-" + std::to_string(::geteuid()) + "/pasteboard";
  ::setenv("XDG_RUNTIME_DIR", "relative/folder", 1);
  EXPECT_EQ(pasteboard::location(), fallback);
  ::setenv("XDG_RUNTIME_DIR", dir.path.c_str(), 1);

  if (::geteuid() != 0) GTEST_SKIP() << "making another user's folder needs root";
  for (const std::string& folder : {store(), dir / "ToviHelper", dir.path}) {
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_TRUE(folder == dir.path ? pasteboard::location() == fallback : refused()) << folder;
    ASSERT_EQ(::chown(folder.c_str(), 0, 0), 0);
  }
}

TEST_F(Clipboard, WhatIsWrittenReadsBackInTheEditorsTypes) {
  const std::string xml = "<?xml version=\"1.0\"?>\n<clip name=\"Caf\xC3\xA9 \xF0\x9F\x8E\xAC\"/>\n";
  // The id goes as UTF-16 little-endian without mark or terminator, astral characters as pairs.
  const std::pair<std::string, std::string> ids[] = {
      {"\xC3\xA9\xE6\xBC\xA2", std::string("\xE9\0\x22\x6F", 4)},
      {"a\xF0\x9F\x98\x80z", std::string("a\0\x3D\xD8\x00\xDEz\0", 8)},
      {"", ""}};
  for (const auto& [id, utf16] : ids) {
    ASSERT_EQ(write(xml, id), kOk) << id;
    EXPECT_EQ(read(), (json{{"ok", true}, {"xml", xml}, {"id", id}})) << id;
    EXPECT_EQ(tool({"get", kId}).output, utf16) << id;
  }
  EXPECT_EQ(tool({"list"}).output, kId + "\n" + kXml + "\n");
  // An empty XML file is a clip too; a missing input fails before the store is touched.
  EXPECT_EQ(write("", "A"), kOk);
  const json needs{{"ok", false}, {"error", "clipboardWrite needs xmlPath and id"}};
  // (A missing XML file is the bounce test's failed write.)
  for (json bad : {json{{"xmlPath", dir.path}, {"id", "n"}},
                   json{{"xmlPath", dir / "clip.xml"}},
                   json{{"id", "n"}}}) {
    bad["kind"] = "clipboardWrite";
    EXPECT_EQ(test::runJob(bad, dir.path), needs) << bad;
  }
  EXPECT_EQ(read(), (json{{"ok", true}, {"xml", ""}, {"id", "A"}}));
}

// An empty store has no XML either, as the id alone has not.
TEST_F(Clipboard, ReadNeedsTheXmlAndForgivesABadId) {
  const auto piped = test::runProgram(
      "/bin/sh", {"-c", "printf 'i\\0' | \"$0\" set \"$1\"", TOVI_PASTEBOARD_BIN, kId});
  ASSERT_EQ(piped.status, 0) << piped.output;
  EXPECT_EQ(read(), kNoClip) << "an id alone is no clip";
  // XML that is not UTF-8 is no clip either. An id of odd length, with a lone high or low
  // surrogate, or (declaring the XML alone) none at all reads as "".
  const json forgiven{{"ok", true}, {"xml", "<a/>"}, {"id", ""}};
  for (const auto& [type, bytes, want] : std::vector<std::tuple<std::string, std::string, json>>{
           {kXml, "<a>\xC3</a>", kNoClip},
           {kXml, "<a/>", {{"ok", true}, {"xml", "<a/>"}, {"id", "i"}}},
           {kId, std::string("i\0j", 3), forgiven},
           {kId, std::string("\x3D\xD8", 2), forgiven},
           {kId, std::string("\x3D\xD8i\0", 4), forgiven},
           {kId, std::string("\x00\xDEi\0", 4), forgiven},
           {"", "", forgiven}}) {
    test::writeFile(dir / "bytes", bytes);  // put there the way another application would
    const std::vector<std::string> set{"set", type, dir / "bytes"}, declare{"declare", kXml};
    ASSERT_EQ(tool(type.empty() ? declare : set).status, 0);
    EXPECT_EQ(read(), want) << type << ": " << bytes;
  }
  // A clip beyond the limit (a sparse file here) is answered with a sentence, never read.
  const std::string xmlFile = store() + "/" + pasteboard::fileName(kXml);
  fs::resize_file(xmlFile, (64 << 20) + 1);
  EXPECT_EQ(read(), (json{{"ok", false},
                          {"error", "The clip on the clipboard is larger than 64 MB: "
                                    "copy fewer captions"}}));
  // A FIFO in a type's place holds no reader up: it is no clip.
  fs::remove(xmlFile);
  ASSERT_EQ(::mkfifo(xmlFile.c_str(), 0600), 0);
  EXPECT_EQ(read(), kNoClip);
  EXPECT_EQ(tool({"get", kXml}).status, 1);
  EXPECT_EQ(tool({"clear"}).status, 0);
  EXPECT_EQ(tool({"--help", "list"}).status, 2);
  // Asked for, the usage and the version go to standard output (the version only after a usage
  // that succeeded).
  const auto out = test::runProgram(
      "/bin/sh", {"-c", "\"$0\" --help 2>/dev/null && exec \"$0\" --version 2>/dev/null",
                  TOVI_PASTEBOARD_BIN});
  EXPECT_TRUE(out.output.starts_with("usage: tovi-pasteboard")) << out.output;
  EXPECT_NE(out.output.find("\ntovi-pasteboard 0."), std::string::npos) << out.output;
}

// The test process makes itself the subreaper of its descendants, so the detached bounce
// instances become its children when their starter lets go of them: it can see that each one
// started and ended, and that none is left.
TEST_F(Clipboard, OnlyWatchModeBouncesAndAnswersAfterTheBounce) {
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  siginfo_t info{};  // none at all, running or ended
  const auto noChildren = [&info] {
    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD;
  };
  ASSERT_EQ(write("<clip/>", "job"), kOk);
  ASSERT_EQ(write("<clip/>", "opened", {"--open"}), kOk);
  EXPECT_TRUE(noChildren()) << "a bounce outside watch mode";

  // A failed write (claimed first) is never followed by a bounce; each good one is.
  constexpr int count = 3;
  test::TempDir jobs;
  const auto name = [](int i) { return i < 0 ? "bad" : "j" + std::to_string(i); };
  for (int i = -1; i < count; ++i)
    test::writeJob(jobs / (name(i) + ".tovijob"),
                   {{"out", jobs / (name(i) + ".json")},
                    {"kind", "clipboardWrite"},
                    {"xmlPath", dir / (i < 0 ? "missing.xml" : "clip.xml")},
                    {"id", name(i)}});
  const pid_t helper =
      process::spawn({test::helperPath(), {"--watch", jobs.path, "--idle", "1"}, {}}).pid;
  // How each process adopted from the helper ended (the helper's own status is the watch tests').
  std::vector<int> bounces;
  const auto reap = [&] {
    for (int pid, status; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) {
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      if (pid != helper) bounces.push_back(code);
    }
  };

  // The claimed file's change time is the moment of the claim; file times tick in steps of a few
  // milliseconds, hence the small allowance.
  struct stat claimed {}, answered {};
  const auto reaped = [&](const std::string& path, struct stat* st) {
    return test::waitFor([&] { reap(); return ::stat(path.c_str(), st) == 0; });
  };
  ASSERT_TRUE(reaped(jobs / "j0.tovijob.taken", &claimed));
  ASSERT_TRUE(reaped(jobs / "j0.json", &answered));
  EXPECT_GE(double(answered.st_mtim.tv_sec - claimed.st_ctim.tv_sec) +
                double(answered.st_mtim.tv_nsec - claimed.st_ctim.tv_nsec) * 1e-9, 0.4 - 0.01);
  ASSERT_TRUE(reaped(jobs / (name(count - 1) + ".json"), &answered));

  // The helper is idle now: it holds on to no child, ended or not.
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(helper) + "/task"))
    EXPECT_EQ(test::readFile(task.path() / "children").value(), "") << task.path();
  ASSERT_TRUE(test::waitFor([&] { reap(); return noChildren(); }));
  EXPECT_EQ(bounces, std::vector<int>(count, 0));
  // Each bounce followed a good write, whose answer clipboardWrite's job-mode runs check.
  EXPECT_EQ(test::readJson(jobs / "bad.json")["ok"], false);
}

}  // namespace
