// Running whisper-cli through the built helper, copied into a fresh prefix so that its bundle copy
// of whisper-cli is ours to set, with a fake whisper-cli that keeps the real one's contract.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <map>
#include <set>
#include <regex>

#include "platform/process.h"
#include "support.h"

namespace speech {
namespace {

namespace fs = std::filesystem;

struct Run : ::testing::Test {
  Run() {
    writeTone(dir / "a.wav", 0.5);
    fs::create_directories(prefix / "bin");
    fs::copy_file(test::helperPath(), prefix / "bin/ToviHelper");
    ::setenv("TMPDIR", tmp.path.c_str(), 1);
  }
  // Whatever the way out, the run's private folder is gone.
  void TearDown() override { EXPECT_TRUE(fs::is_empty(tmp.path)); }
  ~Run() override { ::unsetenv("TMPDIR"); }
  json run(json extra = json::object()) {
    json j{{"wav", dir / "a.wav"}, {"model", dir / "a.wav"}, {"whisper", fake.path}};
    j.update(extra);
    return runJob(j, dir.path, {}, helper);
  }
  test::TempDir dir, prefix, tmp;
  FakeWhisper fake;
  std::string helper = prefix / "bin/ToviHelper";
};

// whisper-cli gets its arguments, our environment and no descriptor but the standard streams
// (whatever the helper was started with), and writes into a folder of its own in the temporary
// directory: $TMPDIR, or /tmp where that is no folder, as the C library's own temporary files.
TEST_F(Run, StartsWhisperCliCleanWithItsArgumentsInAPrivateFolder) {
  helper = dir / "opens-marker";
  test::writeFile(helper, "#!/bin/sh\nexec 9<>'" + dir / "marker" + "'\nexec '" + prefix / "bin/ToviHelper" + "' \"$@\"\n");
  fs::permissions(helper, fs::perms::owner_all);
  ::setenv("PWD", fs::current_path().c_str(), 1);  // as that shell sets it
  // Folders that killed runs left go; a live run's and another user's stay.
  for (const std::string name : {"dead", "live", "other"}) {
    fs::create_directories(tmp / ("tovi-whisper." + name + "/inner"));
    test::writeFile(tmp / ("tovi-whisper." + name + "/lock"), "");
  }
  const int live = ::open((tmp / "tovi-whisper.live/lock").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(live, LOCK_EX), 0);
  const bool otherUser = ::chown((tmp / "tovi-whisper.other").c_str(), 65534, 65534) == 0;
  std::set<std::string> folders;
  for (const std::string& tmpdir : {tmp.path, std::string("metal"), std::string("unset"), std::string(), dir / "missing", dir / "a.wav"}) {
    SCOPED_TRACE(tmpdir);
    const bool given = tmpdir == "metal";  // with every option, and the Metal backend beside the executable
    tmpdir == "unset" ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", given ? tmp.path.c_str() : tmpdir.c_str(), 1);
    if (given) test::writeFile(fake.dir / "libggml-metal.so", ""), ::setenv("GGML_BACKEND_PATH", "/somewhere/else", 1);
    std::map<std::string, std::string> ours;
    for (const auto& entry : process::environment()) ours[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
    if (given) ours["GGML_BACKEND_PATH"] = fake.dir / "libggml-metal.so";  // which overrides the variable
    fake.behave({{"record", true}, {"transcript", R"({"t":" hi"})"}});
    const json result = run(given ? json{{"lang", ""}, {"dtw", "tiny.en"}, {"prompt", "Ana, Bo."}} : json{{"prompt", ""}});
    ::unsetenv("GGML_BACKEND_PATH");
    fs::remove(fake.dir / "libggml-metal.so");
    EXPECT_EQ(result, json({{"ok", true}, {"whisper", {{"t", " hi"}}}, {"env", {{"hop", 0.01}, {"db", result["env"]["db"]}}}}));
    EXPECT_EQ(result["env"]["db"].size(), 50u);  // one level per 10 ms of the tone
    const json record = fake.record();
    const auto argv = record["argv"].get<std::vector<std::string>>();
    ASSERT_GT(argv.size(), 9u);
    std::vector<std::string> want{fake.path, "-m", dir / "a.wav", "-f", dir / "a.wav", "-l", given ? "" : "auto",
                                  "-ojf", "-of", argv[9], "-nfa", "--dtw", given ? "tiny.en" : "large.v3.turbo",
                                  "-t", "8", "-pp"};
    if (given) want.insert(want.end(), {"--prompt", "Ana, Bo."});
    EXPECT_EQ(argv, want);
    EXPECT_EQ(record["env"], json(ours));
    for (const auto& [fd, target] : record["fds"].items()) EXPECT_NE(target, dir / "marker") << fd;
    // "tovi_<milliseconds>" in a new folder that only we can enter.
    const fs::path base = argv[9];
    EXPECT_TRUE(std::regex_match(base.filename().string(), std::regex("tovi_[0-9]+"))) << base;
    EXPECT_TRUE(base.parent_path().filename().string().starts_with("tovi-whisper.")) << base;
    EXPECT_EQ(base.parent_path().parent_path().string(), tmpdir == tmp.path || given ? tmp.path : "/tmp");
    EXPECT_EQ(record["folder_mode"], 0700);
    EXPECT_TRUE(folders.insert(base.parent_path()).second);
  }
  ::setenv("TMPDIR", tmp.path.c_str(), 1);
  EXPECT_FALSE(test::exists(tmp / "tovi-whisper.dead"));
  EXPECT_TRUE(test::exists(tmp / "tovi-whisper.live/inner"));
  EXPECT_EQ(test::exists(tmp / "tovi-whisper.other/inner"), otherUser);
  ::close(live);
  for (const char* name : {"tovi-whisper.live", "tovi-whisper.other"}) fs::remove_all(tmp / name);

  // Started with SIGCHLD ignored, the helper still learns how whisper-cli ended.
  fake.behave({{"transcript", "{}"}});
  EXPECT_EQ(runJob({{"wav", dir / "a.wav"}, {"model", dir / "a.wav"}, {"whisper", fake.path}}, dir.path,
                   {"--ignore-signal=CHLD", prefix / "bin/ToviHelper"}, "/usr/bin/env")["whisper"], json::object());
}

// The audio first, then the model, then the envelope; only then whisper-cli.
TEST_F(Run, ChecksAudioModelAndEnvelopeBeforeStartingWhisperCli) {
  fake.behave({{"record", true}});
  const std::string none = dir / "none.wav", model = dir / "none.bin";
  for (auto [job, error] : std::vector<std::pair<json, std::string>>{
           {json::object(), "Audio not found: "},
           {{{"wav", none}, {"model", model}}, "Audio not found: " + none},
           // An unreachable "modelURL" would turn an attempt to fetch without a "model" into a
           // download failure.
           {{{"wav", dir / "a.wav"}, {"modelURL", "http://127.0.0.1:1/m.bin"}}, "Whisper model not found: "},
           {{{"wav", dir / "a.wav"}, {"model", model}}, "Whisper model not found: " + model}}) {
    job["whisper"] = fake.path;
    EXPECT_EQ(runJob(job, dir.path)["error"], error);
  }
  test::writeFile(dir / "text.wav", "not audio");
  for (const std::string& bad : {dir / "text.wav", dir.path}) {  // a folder passes the first check
    const std::string error = run({{"wav", bad}})["error"];
    EXPECT_EQ(error.rfind("Cannot read " + bad + ": ", 0), 0u) << error;
  }
  EXPECT_FALSE(test::exists(fake.dir / "record.json"));
}

TEST_F(Run, ReadsStandardErrorAndTheTranscript) {
  const std::string seeded = R"({"progress":7})", failed = "whisper-cli failed ";
  struct Case { json behaviour, want; std::string progress = R"({"progress":7})", start = ""; };
  for (const Case& c : std::vector<Case>{
           // Only the last progress line of a chunk is written.
           {{{"stderr", {"progress = 50%\nwhisper_print_progress_callback: progress =  40%\n"}}, {"transcript", "{}"}},
            json::object(), R"({"progress":40})"},
           // A line split across chunks writes nothing, nor does a chunk that is not UTF-8 ("\xff progress =
           // 30%%"); the tail joins the chunks again.
           {{{"stderr", {"whisper_print_progress_callback: progress =  4", "0%\n",
                         {{"hex", "ff2070726f6772657373203d2033302525"}}}}, {"exit", 1}},
            failed + "(1): whisper_print_progress_callback: progress =  40%"},
           // A grandchild that keeps standard error open holds nothing up; what is written just before
           // exiting is read too.
           {{{"stderr", {"one\n"}}, {"last", "two\nthree\n"}, {"grandchild", 600}, {"exit", 2}},
            failed + "(2): one | two | three"},
           // A run that took a GPU and failed is run again on the CPU alone, which answers, its progress
           // from 0 again. ggml's sign of the GPU may come in pieces, or in a chunk that is not UTF-8.
           {{{"gpu", {{"stderr", {"ggml_vulkan: Fou", "nd 1 Vulkan devices:\n", "progress =  30%\n"}}, {"signal", 6}}},
             {"stderr", {"progress =   0%\n"}}, {"transcript", "{}"}},
            json::object(), R"({"progress":0})"},
           {{{"gpu", {{"stderr", {{{"hex", "ff20776869737065725f6261636b656e645f696e69745f6770753a207573696e672056756c6b"
                                          "616e30206261636b656e640a"}}}},  // "\xff whisper_backend_init_gpu: using Vulkan0 backend\n"
                      {"transcript", "{}"}, {"exit", 1}}},
             {"stderr", {"no GPU\n"}}, {"exit", 3}},
            failed + "(3): no GPU"},
           // No GPU taken, no second run.
           {{{"gpu", {{"stderr", {"ggml_vulkan: No devices found.\n"}}, {"exit", 4}}}, {"transcript", "{}"}},
            failed + "(4): ggml_vulkan: No devices found."},
           {{{"signal", 11}}, failed + "(139): "},
           // Status 0 proves nothing: no transcript, or one that is not JSON, is a failure; one that goes
           // wrong only after a megabyte has been written leaves no part of it in the result.
           {{{"stderr", {"error: failed to read audio file\n"}}}, failed + "(0): error: failed to read audio file"},
           {{{"transcript", "{\"transcription\": ["}}, failed + "(0): "},
           {{{"transcript", "{\"t\":\"" + std::string(1 << 20, 'x') + "\"} x"}}, failed + "(0): "},
           // Pretty-printed: the result holds it compact, "/" escaped, numbers as written.
           {{{"transcript", "{\n  \"t\" : \"1/2\",\n  \"n\": [1.50, -2e-3, 12345678901234567890]\n}\n"}},
            {{"t", "1/2"}, {"n", {1.5, -0.002, 12345678901234567890u}}}, seeded,
            R"({"ok":true,"whisper":{"t":"1\/2","n":[1.50,-2e-3,12345678901234567890]},"env":{"hop":0.01,"db":[)"},
       }) {
    test::writeFile(dir / "result.json.progress", seeded);
    fake.behave(c.behaviour);
    const json result = run();
    EXPECT_EQ(result.contains("error") ? result["error"] : result["whisper"], c.want) << c.behaviour;
    EXPECT_EQ(test::readFile(dir / "result.json.progress"), c.progress) << c.behaviour;
    EXPECT_EQ(test::readFile(dir / "result.json")->rfind(c.start, 0), 0u) << c.behaviour;
    // The audio, the job, the result and the progress file: nothing partial is left beside them.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 4) << c.behaviour;
  }
}

TEST_F(Run, FindsTheJobsWhisperThenTheBundleCopyThenTheFixedPlace) {
  fake.behave({{"exit", 5}});
  test::writeFile(dir / "text", "just text\n");
  fs::permissions(dir / "text", fs::perms::owner_all);
  auto error = [&](json whisper) { return run({{"whisper", whisper}}).value("error", ""); };
  EXPECT_EQ(error((fs::relative(fake.dir.path) / "whisper-cli").string()), "whisper-cli failed (5): ");
  EXPECT_EQ(error(dir / "text"), "Cannot start whisper-cli (" + dir / "text" + "): Exec format error");
  EXPECT_EQ(error(dir / "a.wav"),  // not executable: the fixed place, which is not there
            "Cannot start whisper-cli (/opt/homebrew/bin/whisper-cli): No such file or directory");

  const std::string bundled = prefix / "lib/ToviHelper/whisper";
  fs::create_directories(bundled);
  fs::create_symlink(TOVI_SOURCE_DIR "/tests/speech/fake-whisper-cli", bundled + "/whisper-cli");
  test::writeFile(bundled + "/fake-whisper.json", R"({"exit": 6})");
  EXPECT_EQ(error(fake.path), "whisper-cli failed (5): ");
  for (json other : {json(dir / "a.wav"), json(""), json(nullptr)})
    EXPECT_EQ(error(other), "whisper-cli failed (6): ") << other;
}

}  // namespace
}  // namespace speech
