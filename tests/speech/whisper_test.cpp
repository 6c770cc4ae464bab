// whisper-cli's standard error and transcript as the helper reads them; whisper-cli through the
// built helper: a fake one that keeps the real one's contract and does what the real one cannot be
// made to do on demand, the model fetched from a loopback HTTP server with the system's curl and
// shasum, and the real whisper-cli over real speech.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <map>
#include <regex>
#include <set>

#include "jobs/job.h"
#include "platform/process.h"
#include "speech/transcript_filter.h"
#include "speech/whisper.h"
#include "speech/whisper_stderr.h"
#include "support.h"

namespace speech {
namespace {

namespace fs = std::filesystem;

TEST(WhisperOutput, TheLastProgressOfAChunk) {
  // The last line, not the largest, in any Unicode white space; a line that does not match is
  // passed over.
  for (const auto& [chunk, want] : std::vector<std::pair<std::string, int64_t>>{
           {"progress = 50%\nprogress = 40%\nother\n", 40},
           {"progress =\t \u3000 7%", 7},
           {"progress =7%", 7},
           {"progress = 30%\nprogress = x%\n", 30},
           {"progress = 9223372036854775807%", INT64_MAX}})
    EXPECT_EQ(lastProgress(chunk), want) << chunk;
  // A last number that cannot be read ends the search: Arabic-Indic digits match \d but are no
  // number, and the earlier line is not used.
  for (const char* chunk : {"progress= 40%", "progress = 40 %",
                            "progress = 30%\nprogress = \u0664\u0660%\n",
                            "progress = 30%\nprogress = 99999999999999999999%\n"})
    EXPECT_EQ(lastProgress(chunk), std::nullopt) << chunk;
}

TEST(WhisperOutput, TheTailKeepsTheLastUserPerceivedCharacters) {
  StderrTail tail(5);
  // e + combining acute: one character
  for (const char* piece : {"abc", "de\xCC\x81", "fg"}) tail.append(piece);
  EXPECT_EQ(tail.text(), "cde\xCC\x81" "fg");
  tail.append("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7");  // a flag: two code points, one character
  EXPECT_EQ(tail.text(), "de\xCC\x81" "fg\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7");
  StderrTail big;
  for (int i = 0; i < 300; ++i) big.append("0123456789\n");
  EXPECT_EQ(big.text().size(), 2000u);
  big.append("only\n\n\nlines");
  EXPECT_EQ(big.summary(), "0123456789 | only | lines");
}

// The compact form of a transcript fed `size` bytes at a time, or nothing when it is refused.
std::optional<std::string> filtered(std::string_view bytes, size_t size) {
  TranscriptFilter filter;
  std::string out;
  const auto sink = [&](std::string_view piece) { return out += piece, true; };
  for (size_t at = 0; at < bytes.size(); at += size)
    if (!filter.feed(bytes.substr(at, size), sink)) return std::nullopt;
  if (!filter.finish()) return std::nullopt;
  return out;
}

TEST(WhisperOutput, TranscriptsPassCompactCheckedAndRepairedOnlyInsideStrings) {
  const std::string bad = "\xEF\xBF\xBD", deep(MAX_NESTING, '['), closed(MAX_NESTING, ']');
  const std::string controls(300000, '\x01');
  std::string repaired;
  while (repaired.size() < 6 * controls.size()) repaired += "\\u0001";
  std::vector<std::pair<std::string, std::optional<std::string>>> cases{
      // White space goes, "/" is escaped, escapes and numbers stay as written.
      {"\xEF\xBB\xBF {\n\t\"a/b\" : [ 1 , -0, 2.50, -1.5e-3, 1E+2, 0.0e999, 1e-999, "
       "1.7976931348623158e308, true, false, null, {}, [] ],\r\n"
       " \"s\": \"\\/ \\u00e9 \\ud83d\\uDE00\\\"\" }\n",
       R"({"a\/b":[1,-0,2.50,-1.5e-3,1E+2,0.0e999,1e-999,1.7976931348623158e308,)"
       R"(true,false,null,{},[]],"s":"\/ \u00e9 \ud83d\uDE00\""})"},
      // Raw control characters, a character split across two tokens, ill-formed sequences (one
      // U+FFFD each).
      {"{\"t\":[\"a\tb\nc\x01\x0b\",\" \xE6\x97\",\"\xA5 x\","
       "\"\xC0\xAF\xED\xA0\x80\xF0\x9F\x98\x80\"]}",
       "{\"t\":[\"a\\tb\\nc\\u0001\\u000b\",\" " + bad + "\",\"" + bad + " x\",\"" +
           bad + bad + bad + bad + bad + "\xF0\x9F\x98\x80\"]}"},
      {deep + closed, deep + closed},
      // More than one step of output.
      {"[\"" + controls + "\"]", "[\"" + repaired + "\"]"}};
  // Nothing outside strings is repaired, nor are bad escapes; a number is refused where a double
  // cannot hold it (the long one also overflows the kept leading digits). A transcript cut short,
  // or followed by more, is refused in the end-to-end cases below.
  const std::vector<std::string> refused{
      "\"a string\"", "{\"a\":\x01 1}", "[\"\\q\"]", "[01]", "[1.]", "[-]", "[1e]", "[tru]",
      "[1,]", "{\"a\":1,}", "{\"a\" 1}", "{1:2}", "[1}", "\xEF\xBB{}", "[\"\\ud800\"]",
      "[\"\\udc00\"]", "[\"\\ud800\\u0041\"]", "[\"\\u12g4\"]", "[1e400]", "[-0.1e310]",
      "[1.7976931348623159e308]", "[" + std::string(309, '9') + "]", "[" + deep + closed + "]"};
  for (const std::string& bytes : refused) cases.emplace_back(bytes, std::nullopt);
  for (const auto& [bytes, want] : cases)
    for (size_t size : {size_t{1}, size_t{3}, bytes.size() + 1})
      EXPECT_EQ(filtered(bytes, size), want) << bytes.substr(0, 100) << " in pieces of " << size;
}

// The helper is copied into a fresh prefix, so that its bundle copy of whisper-cli is ours to set.
// The fake whisper-cli in a folder of its own does what behave() says (see fake-whisper-cli); its
// grandchild, if it left one, ends with the test.
struct Run : ::testing::Test {
  Run() {
    writeTone(dir / "a.wav", 0.5);
    fs::create_directories(prefix / "bin");
    fs::copy_file(test::helperPath(), prefix / "bin/ToviHelper");
    fs::create_symlink(TOVI_SOURCE_DIR "/tests/speech/fake-whisper-cli", whisper);
    ::setenv("TMPDIR", tmp.path.c_str(), 1);
  }
  // Whatever the way out, the run's private folder is gone.
  void TearDown() override { EXPECT_TRUE(fs::is_empty(tmp.path)); }
  ~Run() override {
    ::unsetenv("TMPDIR");
    if (auto pid = test::readFile(fake / "grandchild.pid")) ::kill(std::stoi(*pid), SIGKILL);
  }
  // With "record": true, the fake writes what it saw to record.json beside itself.
  void behave(const json& what) { test::writeFile(fake / "fake-whisper.json", what.dump()); }
  json run(const json& extra = json::object(), const std::string& in = "") {
    json j{{"wav", dir / "a.wav"}, {"model", dir / "a.wav"}, {"whisper", whisper}};
    j.update(extra);
    return runJob(j, in.empty() ? dir.path : in, {}, helper);
  }
  test::TempDir dir, prefix, tmp, fake;
  std::string helper = prefix / "bin/ToviHelper", whisper = fake / "whisper-cli";
};

// whisper-cli gets its arguments, our environment and no descriptor but the standard streams
// (whatever the helper was started with), and writes into a folder of its own in the temporary
// directory: $TMPDIR, or /tmp where that is no folder, as the C library's own temporary files.
// The helper starts with a descriptor open and SIGCHLD ignored, and still learns how whisper-cli
// ended.
TEST_F(Run, StartsWhisperCliCleanWithItsArgumentsInAPrivateFolder) {
  helper = dir / "opens-marker";
  test::writeFile(helper, "#!/bin/sh\nexec 9<>'" + dir / "marker" + "'\n"
                          "exec /usr/bin/env --ignore-signal=CHLD '" + prefix / "bin/ToviHelper" +
                          "' \"$@\"\n");
  fs::permissions(helper, fs::perms::owner_all);
  ::setenv("PWD", fs::current_path().c_str(), 1);  // as that shell sets it
  // Folders that killed runs left go; a live run's and another user's stay.
  for (const std::string name : {"dead", "live", "other"}) {
    fs::create_directories(tmp / ("tovi-whisper." + name + "/inner"));
    test::writeFile(tmp / ("tovi-whisper." + name + "/lock"), "");
  }
  files::Descriptor live(::open((tmp / "tovi-whisper.live/lock").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(::flock(live.get(), LOCK_EX), 0);
  const bool otherUser = ::chown((tmp / "tovi-whisper.other").c_str(), 65534, 65534) == 0;
  std::set<std::string> folders;
  // The last run has every option, and the Metal backend beside the executable, in $TMPDIR.
  for (const std::string& tmpdir :
       {std::string("unset"), dir / "missing", dir / "a.wav", std::string("metal")}) {
    SCOPED_TRACE(tmpdir);
    const bool given = tmpdir == "metal";
    if (tmpdir == "unset") ::unsetenv("TMPDIR");
    else ::setenv("TMPDIR", given ? tmp.path.c_str() : tmpdir.c_str(), 1);
    if (given) {
      test::writeFile(fake / "libggml-metal.so", "");
      ::setenv("GGML_BACKEND_PATH", "/somewhere/else", 1);
    }
    std::map<std::string, std::string> ours;
    for (const auto& entry : process::environment())
      ours[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
    // The backend beside the executable overrides the variable.
    if (given) ours["GGML_BACKEND_PATH"] = fake / "libggml-metal.so";
    behave({{"record", true}, {"transcript", R"({"t":" hi"})"}});
    const json options{{"lang", ""}, {"dtw", "tiny.en"}, {"prompt", "Ana, Bo."}};
    EXPECT_EQ(run(given ? options : json{{"prompt", ""}})["whisper"], json({{"t", " hi"}}));
    const json record = test::readJson(fake / "record.json");
    const std::string base = record["argv"].at(9);
    std::vector<std::string> want{whisper, "-m", dir / "a.wav", "-f", dir / "a.wav",
                                  "-l", given ? "" : "auto", "-ojf", "-of", base, "-nfa",
                                  "--dtw", given ? "tiny.en" : "large.v3.turbo", "-t", "8", "-pp"};
    if (given) want.insert(want.end(), {"--prompt", "Ana, Bo."});
    EXPECT_EQ(record["argv"], json(want));
    EXPECT_EQ(record["env"], json(ours));
    for (const auto& [fd, target] : record["fds"].items()) EXPECT_NE(target, dir / "marker") << fd;
    // "tovi_<milliseconds>" in a new folder that only we can enter.
    const std::string parent = given ? tmp.path : "/tmp";
    EXPECT_TRUE(std::regex_match(base, std::regex(parent + "/tovi-whisper\\.[^/]+/tovi_[0-9]+")))
        << base;
    EXPECT_EQ(record["folder_mode"], 0700);
    EXPECT_TRUE(folders.insert(fs::path(base).parent_path()).second) << base;
  }
  ::unsetenv("GGML_BACKEND_PATH");
  EXPECT_FALSE(test::exists(tmp / "tovi-whisper.dead"));
  EXPECT_TRUE(test::exists(tmp / "tovi-whisper.live/inner"));
  EXPECT_EQ(test::exists(tmp / "tovi-whisper.other/inner"), otherUser);
  live.reset();
  for (const char* name : {"tovi-whisper.live", "tovi-whisper.other"}) fs::remove_all(tmp / name);
}

// The audio first, then the model, then the envelope; only then whisper-cli: the job's own, else
// the bundle copy, else the fixed place.
TEST_F(Run, ChecksTheJobThenFindsWhisperCli) {
  behave({{"record", true}, {"exit", 5}});
  const std::string none = dir / "none.wav";
  // A null field is one not given.
  for (const auto& [job, error] : std::vector<std::pair<json, std::string>>{
           {{{"wav", nullptr}}, "Audio not found: "},
           {{{"wav", none}, {"model", dir / "none.bin"}}, "Audio not found: " + none},
           // An unreachable "modelURL" would turn an attempt to fetch without a "model" into a
           // download failure.
           {{{"model", nullptr}, {"modelURL", "http://127.0.0.1:1/m.bin"}},
            "Whisper model not found: "}})
    EXPECT_EQ(run(job)["error"], error);
  // A folder passes the first check.
  EXPECT_EQ(run({{"wav", dir.path}})["error"], "Cannot read " + dir.path + ": Is a directory");
  EXPECT_FALSE(test::exists(fake / "record.json"));

  test::writeFile(dir / "text", "just text\n");
  fs::permissions(dir / "text", fs::perms::owner_all);
  auto error = [&](const json& which) { return run({{"whisper", which}}).value("error", ""); };
  EXPECT_EQ(error((fs::relative(fake.path) / "whisper-cli").string()), "whisper-cli failed (5): ");
  EXPECT_EQ(error(dir / "text"),
            "Cannot start whisper-cli (" + dir / "text" + "): Exec format error");
  // Not executable: the fixed place, which is not there.
  EXPECT_EQ(error(dir / "a.wav"),
            "Cannot start whisper-cli (/opt/homebrew/bin/whisper-cli): No such file or directory");

  const std::string bundled = prefix / "lib/ToviHelper/whisper";
  fs::create_directories(bundled);
  fs::create_symlink(TOVI_SOURCE_DIR "/tests/speech/fake-whisper-cli", bundled + "/whisper-cli");
  test::writeFile(bundled + "/fake-whisper.json", R"({"exit": 6})");
  EXPECT_EQ(error(whisper), "whisper-cli failed (5): ");
  // A job without "whisper" finds the bundle copy in RealWhisper.
  EXPECT_EQ(error(dir / "a.wav"), "whisper-cli failed (6): ");
}

TEST_F(Run, ReadsStandardErrorAndTheTranscript) {
  const std::string seeded = R"({"progress":7})", failed = "whisper-cli failed ";
  struct Case {
    json behaviour, want;
    std::string progress = R"({"progress":7})", start = "";
  };
  for (const Case& c : std::vector<Case>{
           // A line split across chunks writes nothing, nor does a chunk that is not UTF-8
           // ("\xff progress = 30%%"); the tail joins the chunks again.
           {{{"stderr", {"whisper_print_progress_callback: progress =  4", "0%\n",
                         {{"hex", "ff2070726f6772657373203d2033302525"}}}},
             {"exit", 1}},
            failed + "(1): whisper_print_progress_callback: progress =  40%"},
           // A grandchild that keeps standard error open holds nothing up; what is written just
           // before exiting is read too.
           {{{"stderr", {"one\n"}}, {"last", "two\nthree\n"}, {"grandchild", 600}, {"exit", 2}},
            failed + "(2): one | two | three"},
           // A run that took a GPU and failed is run again on the CPU alone, which answers, its
           // progress from 0 again. ggml's sign of the GPU may come in pieces, or in a chunk that
           // is not UTF-8.
           {{{"gpu", {{"stderr", {"ggml_vulkan: Fou", "nd 1 Vulkan devices:\n", "progress =  30%\n"}},
                      {"signal", 6}}},
             {"stderr", {"progress =   0%\n"}},
             {"transcript", "{}"}},
            json::object(),
            R"({"progress":0})"},
           // "\xff whisper_backend_init_gpu: using Vulkan0 backend\n"
           {{{"gpu", {{"stderr", {{{"hex", "ff20776869737065725f6261636b656e645f696e69745f6770753a20"
                                           "7573696e672056756c6b616e30206261636b656e640a"}}}},
                      {"transcript", "{}"},
                      {"exit", 1}}},
             {"stderr", {"no GPU\n"}},
             {"exit", 3}},
            failed + "(3): no GPU"},
           // No GPU taken, no second run.
           {{{"gpu", {{"stderr", {"ggml_vulkan: No devices found.\n"}}, {"exit", 4}}},
             {"transcript", "{}"}},
            failed + "(4): ggml_vulkan: No devices found."},
           // Status 0 proves nothing: a transcript that is not JSON is a failure (none at all is
           // the real whisper-cli's case below); one that goes wrong only after a megabyte has been
           // written leaves no part of it in the result. (A signal's status, 128 + its number, is
           // process::wait's, seen in the watch tests.)
           {{{"transcript", "{\"transcription\": ["}}, failed + "(0): "},
           {{{"transcript", "{\"t\":\"" + std::string(1 << 20, 'x') + "\"} x"}}, failed + "(0): "},
           // Pretty-printed: the result holds it compact, "/" escaped.
           {{{"transcript", "{\n  \"t\" : \"1/2\"\n}\n"}},
            {{"t", "1/2"}},
            seeded,
            R"({"ok":true,"whisper":{"t":"1\/2"},"env":{"hop":0.01,"db":[)"}}) {
    SCOPED_TRACE(c.behaviour.dump());
    test::writeFile(dir / "result.json.progress", seeded);
    behave(c.behaviour);
    const json result = run();
    EXPECT_EQ(result.contains("error") ? result["error"] : result["whisper"], c.want);
    EXPECT_EQ(test::readFile(dir / "result.json.progress"), c.progress);
    EXPECT_TRUE(test::readFile(dir / "result.json")->starts_with(c.start));
    // The audio, the job, the result and the progress file: nothing partial is left beside them.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), {}), 4);
  }
}

const char* FAILED = "The speech model download failed (no internet?). Try again.";
const char* DAMAGED = "The speech model download was damaged. Try again.";

struct Download : Run {
  Download() {
    test::writeFile(dir / "served/m.bin", model);
    behave({{"transcript", "{}"}});
    // A configuration file in the user's home would stop every download here, if it were read.
    test::writeFile(dir / ".curlrc", "max-filesize = 1\n");
    ::setenv("HOME", dir.path.c_str(), 1);
  }
  // A job fetching `route` from the server (an address of its own when it starts with "-" or
  // names a scheme).
  json fetch(const std::string& route, const json& extra = json::object(),
             const std::string& in = "") {
    const bool own = route.starts_with("-") || route.find("://") != std::string::npos;
    json job{{"model", modelPath}, {"modelURL", own ? route : server.url + route}};
    job.update(extra);
    return run(job, in);
  }
  ModelServer server{(fs::create_directory(dir / "served"), dir / "served")};
  std::string model = std::string(3000, 'm') + "model", modelPath = dir / "models/ggml/m.bin";
};

TEST_F(Download, FetchesVerifiesAndReportsProgress) {
  // The SHA-256 of `model`, and the same digits in upper case.
  const std::string digest = "d5bf3058a0d85dfba81ac015407e82b3c3a056afa073ea9aeabf13db35aafe56";
  const std::string upper = "D5BF3058A0D85DFBA81AC015407E82B3C3A056AFA073EA9AEABF13DB35AAFE56";
  const std::string folder = dir / "models/ggml", part = modelPath + ".part";
  const std::string victim = dir / "victim";
  test::writeFile(dir / "curl.conf", "url = \"" + server.url + "files/m.bin\"\n");
  // Large enough that curl's buffered output reaches the partial file while the download runs.
  test::writeFile(dir / "served/big.bin", std::string(800000, 'm'));
  const std::string exists = "Cannot move " + part + " to " + modelPath + ": File exists";
  // What lies at the model's or the partial file's name before the job. Beside a model in place, a
  // partial file that a killed download left is cleared, never one that a live download holds.
  enum Plant { nothing, stale, dangling, link, left, held };
  struct Case {
    std::string route, error;
    Plant plant = nothing;
    json extra = json::object();
  };
  const json sha{{"modelSHA", digest}}, small{{"modelSize", 3005}};
  for (const Case& c : std::vector<Case>{
           {"redirect/m.bin", "", nothing, sha},
           {"files/m.bin", "", stale, sha},  // a stale partial file is not resumed
           // The digest must match exactly.
           {"files/m.bin", DAMAGED, nothing, {{"modelSHA", upper}}},
           {"files/nothing.bin", FAILED},       // a 404, whose error page is not kept
           {"-K" + dir / "curl.conf", FAILED},  // an address, never an option
           {"files/m.bin", exists, dangling},   // a link at the model is not replaced
           {"files/m.bin", "", link},           // a link at ".part" is not followed
           {"files/m.bin", "", left},
           {"files/m.bin", "", held},
           // http and https only, redirects included; a body beyond the model's size is refused,
           // also when no length is announced.
           {"file://" + dir / "served/m.bin", FAILED},
           {"away/m.bin", FAILED},
           {"endless/m.bin", FAILED, nothing, small}}) {
    SCOPED_TRACE(c.route + c.extra.dump());
    fs::remove_all(dir / "models");  // the model's folders do not exist yet
    test::writeFile(victim, "precious");
    if (c.plant != nothing) fs::create_directories(folder);
    if (c.plant == stale) test::writeFile(part, std::string(5000, 'x'));
    if (c.plant == dangling) fs::create_symlink(dir / "nowhere", modelPath);
    if (c.plant == link) fs::create_symlink(victim, part);
    if (c.plant >= left) test::writeFile(modelPath, model);
    if (c.plant >= left) test::writeFile(part, "left");
    const files::Descriptor lock(c.plant == held ? ::open(part.c_str(), O_RDONLY | O_CLOEXEC) : -1);
    ASSERT_TRUE(c.plant != held || ::flock(lock.get(), LOCK_EX) == 0);
    EXPECT_EQ(fetch(c.route, c.extra).value("error", ""), c.error);
    EXPECT_EQ(test::readFile(modelPath), c.error.empty() ? std::optional(model) : std::nullopt);
    EXPECT_EQ(test::readFile(victim), "precious");
    EXPECT_EQ(fs::is_symlink(part), c.plant == link);
    EXPECT_EQ(test::exists(part), c.plant == link || c.plant == held);
    // Nothing is left beside the model but what was planted there.
    for (const fs::path& p : fs::directory_iterator(folder))
      EXPECT_TRUE(p == modelPath || p == part) << p;
  }
  // An empty model path is no place to download to, nor one that a NUL would cut short.
  EXPECT_EQ(fetch("files/m.bin", {{"model", ""}})["error"], "Whisper model not found: ");
  fs::remove_all(dir / "models");
  const std::string cut = dir / std::string("models/m\0x", 10);
  EXPECT_EQ(fetch("files/m.bin", {{"model", cut}})["error"],
            "Cannot write " + cut + ".part: Invalid argument");
  EXPECT_FALSE(test::exists(dir / "models"));

  // The model that another user's job put in place meanwhile serves this job too, when it
  // passes this job's checks.
  for (const std::string& arrived : {model, std::string("junk")}) {
    fs::remove_all(dir / "models");
    auto job = std::async(std::launch::async, [&] { return fetch("slow/m.bin", sha); });
    test::waitFor([&] { return test::exists(part); });
    test::writeFile(dir / "arrived", arrived);
    fs::rename(dir / "arrived", modelPath);
    EXPECT_EQ(job.get().value("error", ""), arrived == model ? "" : exists);
    EXPECT_EQ(test::readFile(modelPath), arrived);
  }

  // Two jobs that need the same missing model at once: the second waits for the first's download
  // rather than racing it, and both transcribe with the whole model. The first reports progress:
  // it grows, is capped at 99, never 100; the second, without "modelSize", reports none.
  fs::remove_all(dir / "models");
  auto first = std::async(std::launch::async,
                          [&] { return fetch("slow/big.bin", {{"modelSize", 800000}}); });
  test::waitFor([&] { return test::exists(part); });
  const test::TempDir other;
  auto second = std::async(std::launch::async,
                           [&] { return fetch("slow/big.bin", json::object(), other.path); });
  std::vector<json> seen;
  test::waitFor([&] {
    const auto text = test::readFile(dir / "result.json.progress").value_or("");
    const json record = json::parse(text, nullptr, false);
    if (!record.is_discarded() && (seen.empty() || seen.back() != record)) seen.push_back(record);
    return first.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }, std::chrono::minutes(3));
  EXPECT_EQ(first.get()["ok"], true);
  EXPECT_EQ(second.get()["ok"], true);
  EXPECT_FALSE(test::exists(other / "result.json.progress"));
  EXPECT_EQ(test::readFile(modelPath), std::string(800000, 'm'));
  ASSERT_GE(seen.size(), 2u);
  const auto progress = [](const json& record) { return record.value("progress", -1); };
  for (const json& record : seen)
    EXPECT_EQ(record, json({{"progress", progress(record)}, {"phase", "download"}}));
  EXPECT_TRUE(std::ranges::is_sorted(seen, {}, progress));
  EXPECT_EQ(progress(seen.back()), 99);
}

// The one slow test (run with TOVI_SLOW_TESTS): curl gives up after 60 s without a byte.
TEST_F(Download, AStalledTransferFailsInsteadOfHangingForEver) {
  EXPECT_EQ(fetch("stall/m.bin")["error"], FAILED);
  EXPECT_FALSE(test::exists(modelPath) || test::exists(modelPath + ".part"));
}

// The real whisper-cli 1.9.1 (built into the build tree by tools/build-whisper) over speech from
// espeak-ng, with the tiny hand-set model: the words are the model's, everything else is real.
using RealWhisper = RealSpeech;

TEST_F(RealWhisper, TheHelperAnswersWithWhatWhisperCliWritesAndCarriesItsLastLines) {
  // The bundle copy in the build tree is the one the helper finds by itself.
  json result = runJob({{"wav", speech}, {"model", model}}, dir.path);
  auto alone = test::runProgram(realWhisper(), {"-m", model, "-f", speech, "-l", "auto", "-ojf",
                                                "-of", dir / "alone", "-nfa", "--dtw",
                                                "large.v3.turbo", "-t", "8", "-pp"});
  ASSERT_EQ(alone.status, 0) << alone.output;
  EXPECT_EQ(result["whisper"], test::readJson(dir / "alone.json")) << result;

  // Asked for a Vulkan device with no Vulkan driver to be found, the CPU as ever: the same words.
  const std::string none = dir / "no-driver.json";
  const json again = runJob({{"wav", speech}, {"model", model}}, dir.path,
                            {"GGML_VK_VISIBLE_DEVICES=0", "VK_DRIVER_FILES=" + none,
                             "VK_ICD_FILENAMES=" + none, test::helperPath()},
                            "/usr/bin/env");
  EXPECT_EQ(again["whisper"]["transcription"], result["whisper"]["transcription"]);

  // Run directly, for the job itself would stop before whisper-cli on a missing model or audio
  // that cannot be read.
  auto failure = [&](const std::string& model, const std::string& wav) {
    const json job{{"out", dir / "direct.json"}, {"wav", wav}, {"model", model},
                   {"whisper", realWhisper()}};
    return thrownBy([&] { transcribe(*decodeJob(job.dump())); });
  };
  const std::string where = "whisper_init_from_file_with_params_no_state: ";
  const std::string missing = dir / "missing.bin";
  EXPECT_EQ(failure(missing, speech),
            "whisper-cli failed (3): " + where + "loading model from '" + missing + "' | " + where +
                "failed to open '" + missing + "' | error: failed to initialize whisper context");
  // Not audio: whisper-cli exits 0 without a transcript, its last lines the timings it prints on
  // the way out.
  test::writeFile(dir / "text.wav", "this is not audio\n");
  const std::string notAudio = failure(model, dir / "text.wav");
  const std::regex timings("whisper-cli failed \\(0\\): "
                            "whisper_print_timings: +batchd time = [^|]+ \\| "
                            "whisper_print_timings: +prompt time = [^|]+ \\| "
                            "whisper_print_timings: +total time = +[0-9.]+ ms");
  EXPECT_TRUE(std::regex_match(notAudio, timings)) << notAudio;
}

}  // namespace
}  // namespace speech
