// Running whisper-cli, through the built helper, with a fake whisper-cli that keeps the real one's
// contract: the arguments, the environment, progress, the failure messages and the output file.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "platform/process.h"
#include "support.h"

namespace speech {
namespace {

struct Run : ::testing::Test {
  Run() { writeTone(dir / "a.wav", 0.5); }
  json job(json extra = json::object()) {
    json j{{"wav", dir / "a.wav"}, {"model", dir / "a.wav"}, {"whisper", fake.path}};
    j.update(extra);
    return j;
  }
  std::string progress() { return test::readFile(dir / "result.json.progress").value_or("none"); }
  test::TempDir dir;
  FakeWhisper fake;
};

// Points the helper's temporary directory at a folder of the test's own for one scope.
struct TempDirectory {
  explicit TempDirectory(const std::string& path) { ::setenv("TMPDIR", path.c_str(), 1); }
  ~TempDirectory() { ::unsetenv("TMPDIR"); }
};

TEST_F(Run, PassesTheArgumentsInOrderAndAnswersWithTheTranscript) {
  fake.behave({{"record", true}, {"transcript", R"({"transcription":[{"text":" hi"}]})"}});
  json result = runJob(job(), dir);
  EXPECT_EQ(result, json({{"ok", true},
                          {"whisper", {{"transcription", {{{"text", " hi"}}}}}},
                          {"env", result["env"]}}));
  auto argv = fake.record()["argv"].get<std::vector<std::string>>();
  ASSERT_EQ(argv.size(), 16u);
  const std::string base = argv[9];
  EXPECT_EQ(argv, std::vector<std::string>({fake.path, "-m", dir / "a.wav", "-f", dir / "a.wav",
                                            "-l", "auto", "-ojf", "-of", base, "-nfa", "--dtw",
                                            "large.v3.turbo", "-t", "8", "-pp"}));
  // The output goes to "tovi_<milliseconds>" in a folder that only this user can enter, and the
  // folder is gone afterwards.
  const auto name = std::filesystem::path(base).filename().string();
  EXPECT_EQ(name.rfind("tovi_", 0), 0u);
  EXPECT_EQ(name.find_first_not_of("0123456789", 5), std::string::npos);
  EXPECT_EQ(fake.record()["folder_mode"], 0700);
  EXPECT_FALSE(test::exists(std::filesystem::path(base).parent_path()));
}

TEST_F(Run, PassesLanguagePresetAndPromptAsGiven) {
  fake.behave({{"record", true}, {"transcript", "[]"}});
  runJob(job({{"lang", ""}, {"dtw", "tiny.en"}, {"prompt", "Names: Ana, Bo."}}), dir);
  auto argv = fake.record()["argv"].get<std::vector<std::string>>();
  ASSERT_EQ(argv.size(), 18u);
  EXPECT_EQ(argv[6], "");
  EXPECT_EQ(argv[12], "tiny.en");
  EXPECT_EQ(argv[16], "--prompt");
  EXPECT_EQ(argv[17], "Names: Ana, Bo.");

  runJob(job({{"prompt", ""}}), dir);
  EXPECT_EQ(fake.record()["argv"].size(), 16u);
}

TEST_F(Run, GivesTheMetalBackendPathOnlyWhenTheLibraryIsThere) {
  fake.behave({{"record", true}, {"transcript", "{}"}});
  std::map<std::string, std::string> ours;
  for (const auto& entry : process::environment()) {
    auto eq = entry.find('=');
    ours[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  runJob(job(), dir);
  EXPECT_EQ(fake.record()["env"].get<decltype(ours)>(), ours);

  test::writeFile(fake.dir / "libggml-metal.so", "");
  ::setenv("GGML_BACKEND_PATH", "/somewhere/else", 1);
  runJob(job(), dir);
  ::unsetenv("GGML_BACKEND_PATH");
  auto env = fake.record()["env"].get<decltype(ours)>();
  EXPECT_EQ(env["GGML_BACKEND_PATH"], fake.dir / "libggml-metal.so");
  env.erase("GGML_BACKEND_PATH");
  EXPECT_EQ(env, ours);
}

TEST_F(Run, WritesTheLastProgressOfEachChunk) {
  fake.behave({{"stderr", {"progress = 50%\nwhisper_print_progress_callback: progress =  40%\n"}},
               {"transcript", "{}"}});
  EXPECT_TRUE(runJob(job(), dir)["ok"]);
  EXPECT_EQ(progress(), R"({"progress":40})");
}

TEST_F(Run, AProgressLineSplitAcrossChunksOrNotUtf8WritesNothing) {
  test::writeFile(dir / "result.json.progress", R"({"progress":7})");
  fake.behave({{"stderr", {"whisper_print_progress_callback: progress =  4", "0%\n",
                           {{"hex", "ff2070726f6772657373203d2033302525"}}}},  // \xff progress = 30%
               {"exit", 1}});
  // The tail joins the chunks again; only the progress search looks at one chunk at a time.
  EXPECT_EQ(runJob(job(), dir)["error"],
            "whisper-cli failed (1): whisper_print_progress_callback: progress =  40%");
  EXPECT_EQ(progress(), R"({"progress":7})");
}

TEST_F(Run, FailuresCarryTheStatusAndTheLastThreeLines) {
  fake.behave({{"stderr", {"a\n", "\n", "b\nc\n"}}, {"last", "d\n"}, {"exit", 1}});
  EXPECT_EQ(runJob(job(), dir)["error"], "whisper-cli failed (1): b | c | d");

  fake.behave({{"exit", 3}});
  EXPECT_EQ(runJob(job(), dir)["error"], "whisper-cli failed (3): ");

  // Status 0 proves nothing: no transcript, or one that is not JSON, is a failure too.
  test::writeFile(dir / "result.json.progress", R"({"progress":12})");
  fake.behave({{"stderr", {"error: failed to read audio file\n"}}});
  EXPECT_EQ(runJob(job(), dir)["error"], "whisper-cli failed (0): error: failed to read audio file");
  EXPECT_EQ(progress(), R"({"progress":12})");
  fake.behave({{"transcript", "{\"transcription\": ["}});
  EXPECT_EQ(runJob(job(), dir)["error"], "whisper-cli failed (0): ");
  fake.behave({{"transcript", "\"text\""}});
  EXPECT_EQ(runJob(job(), dir)["error"], "whisper-cli failed (0): ");

  fake.behave({{"signal", 11}});
  EXPECT_EQ(runJob(job(), dir)["error"], "whisper-cli failed (139): ");
}

TEST_F(Run, ATranscriptWithRawControlCharactersAndBrokenUtf8IsAccepted) {
  // whisper-cli escapes only quotes and backslashes, and may split a character across tokens.
  fake.behave({{"transcript", {{"hex", "7b2274223a5b2220e697222c22a52009225d7d"}}}});  // {"t":[" \xe6\x97","\xa5 \t"]}
  json result = runJob(job(), dir);
  EXPECT_EQ(result["whisper"], json({{"t", {" \xEF\xBF\xBD", "\xEF\xBF\xBD \t"}}}));
  EXPECT_NE(test::readFile(dir / "result.json")->find("\\t"), std::string::npos);
}

TEST_F(Run, AGrandchildHoldingStandardErrorNeverHoldsTheJob) {
  fake.behave({{"stderr", {"one\n"}}, {"last", "two\nthree\n"}, {"grandchild", 600}, {"exit", 2}});
  test::writeJob(dir / "job.tovijob", job({{"out", dir / "result.json"}}));
  auto run = test::runHelper({dir / "job.tovijob"}, std::chrono::seconds(120));
  const pid_t grandchild = std::atoi(test::readFile(fake.dir / "grandchild.pid").value_or("0").c_str());
  if (grandchild > 0) ::kill(grandchild, SIGKILL);
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(test::readJson(dir / "result.json")["error"], "whisper-cli failed (2): one | two | three");
}

TEST_F(Run, TheOutputFolderIsRemovedOnEveryWayOut) {
  test::TempDir tmp;
  TempDirectory redirect(tmp.path);
  fake.behave({{"transcript", "{}"}});
  runJob(job(), dir);
  fake.behave({{"transcript", "{}"}, {"exit", 1}});
  runJob(job(), dir);
  runJob(job({{"whisper", dir / "a.wav"}}), dir);  // not executable: falls through, cannot start
  EXPECT_TRUE(std::filesystem::is_empty(tmp.path));
}

TEST_F(Run, RunsAtTheSameTimeNeverShareAnOutputFile) {
  FakeWhisper other;
  fake.behave({{"transcript", R"({"who":"first"})"}, {"sleep", 0.5}});
  other.behave({{"transcript", R"({"who":"second"})"}, {"sleep", 0.5}});
  test::TempDir otherDir;
  json second;
  std::thread helper([&] { second = runJob(job({{"whisper", other.path}}), otherDir); });
  json first = runJob(job(), dir);
  helper.join();
  EXPECT_EQ(first["whisper"]["who"], "first");
  EXPECT_EQ(second["whisper"]["who"], "second");
}

// The helper copied into a fresh prefix, so that its bundle copy of whisper-cli is ours to set.
struct Locate : Run {
  Locate() {
    std::filesystem::create_directories(prefix / "bin");
    std::filesystem::copy_file(test::helperPath(), prefix / "bin/ToviHelper");
  }
  std::string error(json j) {
    j["out"] = dir / "result.json";
    test::writeJob(dir / "job.tovijob", j);
    test::runProgram(prefix / "bin/ToviHelper", {dir / "job.tovijob"}, std::chrono::minutes(2));
    return test::readJson(dir / "result.json").value("error", "");
  }
  test::TempDir prefix;
};

TEST_F(Locate, TheJobsWhisperFirstThenTheBundleCopyThenTheFixedPlace) {
  fake.behave({{"exit", 5}});
  EXPECT_EQ(error(job()), "whisper-cli failed (5): ");
  EXPECT_EQ(error(job({{"whisper", dir / "a.wav"}})),
            "Cannot start whisper-cli (/opt/homebrew/bin/whisper-cli): No such file or directory");

  std::filesystem::create_directories(prefix / "lib/ToviHelper/whisper");
  std::filesystem::create_symlink(TOVI_SOURCE_DIR "/tests/speech/fake-whisper-cli",
                                  prefix / "lib/ToviHelper/whisper/whisper-cli");
  test::writeFile(prefix / "lib/ToviHelper/whisper/fake-whisper.json", R"({"exit": 6})");
  EXPECT_EQ(error(job()), "whisper-cli failed (5): ");
  EXPECT_EQ(error(job({{"whisper", dir / "a.wav"}})), "whisper-cli failed (6): ");
  EXPECT_EQ(error(job({{"whisper", ""}})), "whisper-cli failed (6): ");
  EXPECT_EQ(error(job({{"whisper", nullptr}})), "whisper-cli failed (6): ");
}

TEST_F(Locate, ARelativeWhisperIsUsedAsWritten) {
  fake.behave({{"record", true}, {"exit", 4}});
  auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(fake.dir.path);
  std::string message = error(job({{"whisper", "./whisper-cli"}}));
  std::filesystem::current_path(cwd);
  EXPECT_EQ(message, "whisper-cli failed (4): ");
  EXPECT_EQ(fake.record()["argv"][0], "./whisper-cli");
}

TEST_F(Locate, AnExecutableThatCannotRunIsALaunchFailure) {
  test::writeFile(dir / "not-a-program", "just text\n");
  std::filesystem::permissions(dir / "not-a-program", std::filesystem::perms::owner_all);
  EXPECT_EQ(error(job({{"whisper", dir / "not-a-program"}})),
            "Cannot start whisper-cli (" + dir / "not-a-program" + "): Exec format error");
}

}  // namespace
}  // namespace speech
