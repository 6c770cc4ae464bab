// tovi end to end: the built helper beside it, the real whisper-cli, speech from espeak-ng and the
// tiny hand-set model (it always hears " Hello world.").
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "platform/files.h"
#include "platform/process.h"
#include "speech/support.h"
#include "support/support.h"

namespace {

using nlohmann::json;

const std::string TOVI = TOVI_BUILD_DIR "/bin/tovi";

// The real whisper-cli, a folder, spoken words and the tiny model.
struct Tovi : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(test::exists(speech::realWhisper())) << "run tools/build-whisper " TOVI_BUILD_DIR;
    ASSERT_EQ(test::runProgram(TOVI_SOURCE_DIR "/tools/make-tiny-whisper-model", {model}).status, 0);
    ASSERT_EQ(test::runProgram("/usr/bin/espeak-ng", {"-w", speech, "Captions need words and times."}).status, 0);
  }
  test::TempDir dir;
  const std::string model = dir / "tiny.bin", speech = dir / "speech.wav";
};

// tovi's arguments for captions of `inputs` in DejaVu Sans, 24 points, lines of 400, then `more`.
std::vector<std::string> captions(std::vector<std::string> inputs, const std::vector<std::string>& more = {}) {
  inputs.insert(inputs.begin(), "captions");
  for (const auto& argument : {"--font", "DejaVu Sans", "--size", "24", "--width", "400"}) inputs.push_back(argument);
  inputs.insert(inputs.end(), more.begin(), more.end());
  return inputs;
}

// Runs a shell command on a terminal (script gives it one), its output as the terminal shows it.
test::Run onTerminal(const std::string& command) { return test::runProgram("/usr/bin/script", {"-qec", command, "/dev/null"}); }

TEST_F(Tovi, TranscribesCaptionsAndDrawsRealSpeechAndSaysWhatWentWrong) {
  // Without a terminal: the transcript alone, no progress bar.
  auto run = test::runProgram(TOVI, {"transcribe", speech, "--model", model, "-o", dir / "result.json"});
  EXPECT_EQ(std::pair(run.status, run.output), std::pair(0, std::string("Hello world.\n")));
  EXPECT_EQ(test::readJson(dir / "result.json")["whisper"]["transcription"][0]["text"], " Hello world.");

  // On a terminal of 40 columns (script gives it one), a line that never wraps and names the file:
  // the download of the missing model from a loopback server from its start, then each file's
  // loading and transcription; then the caption files' names.
  speech::ModelServer server(dir.path);
  const std::string fetched = dir / "models/tiny.bin";
  std::filesystem::copy_file(speech, dir / "again.wav");
  ASSERT_TRUE(std::filesystem::create_directory(dir / "bar"));
  run = onTerminal("stty cols 40; " + TOVI + " captions '" + speech + "' '" + dir / "again.wav' --model '" + fetched +
                   "' --model-url " + server.url + "slow/tiny.bin --model-size " + std::to_string(std::filesystem::file_size(model)) +
                   " --font 'DejaVu Sans' --size 24 --width 400 -o " + dir / "bar");
  ASSERT_EQ(run.status, 0) << run.output;
  for (const auto* pattern : {R"(^\r[^\r]*speech\.wav: Downloading the model\x1b\[K\r)",
                              R"(speech\.wav: Downloading the model +\d+%)", R"(again\.wav: Loading the model)", R"(again\.wav: Transcribing( \[#+\])? 100%)"})
    EXPECT_TRUE(std::regex_search(run.output, std::regex(pattern))) << pattern << "\n" << run.output;
  EXPECT_NE(run.output.find(dir / "bar/again.srt"), std::string::npos) << run.output;
  std::istringstream lines(std::regex_replace(run.output, std::regex("\x1b\\[K|\r"), "\n"));
  for (std::string line; std::getline(lines, line);) {
    const auto columns = std::count_if(line.begin(), line.end(), [](unsigned char c) { return (c & 0xC0) != 0x80; });
    EXPECT_TRUE(columns <= 39 || line.compare(0, dir.path.size(), dir.path) == 0) << line;
  }
  // On a terminal wide enough, the device it runs on, unless told otherwise; captions straight
  // from the audio, and below from the saved result: the same either way.
  run = onTerminal(TOVI + " captions '" + speech + "' --model '" + model + "' --font 'DejaVu Sans' --size 24 --width 400 -o '" + dir / "audio.srt'");
  EXPECT_TRUE(std::regex_search(run.output, std::regex(R"(\] 100% on the CPU(\x1b\[K)?\r?\n)"))) << run.output;
  const std::string srt = test::readFile(dir / "audio.srt").value_or("");
  EXPECT_TRUE(std::regex_match(srt, std::regex(R"(1\n00:00:0\d,\d{3} --> 00:00:0\d,\d{3}\nHello world\.\n\n)"))) << srt;
  // From the saved result, the same: with the font's name in another letter case, a temporary
  // directory that is not there and an output that is a link to a descriptor (written in place,
  // not replaced); through a link, its target replaced whole, keeping its mode; into a FIFO,
  // written in place.
  test::writeFile(dir / "target.srt", "old");
  ::chmod((dir / "target.srt").c_str(), 0600);
  std::filesystem::create_symlink("target.srt", dir / "link.srt");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  for (const auto& [command, written] : std::vector<std::pair<std::string, std::string>>{
           {"TMPDIR=/nonexistent \"$0\" captions result.json --font 'dejavu sans' --size 24 --width 400 -o /dev/stdout", ""},
           {"\"$0\" captions result.json --font 'DejaVu Sans' --size 24 --width 400 -o link.srt", "target.srt"},
           {"{ timeout 30 cat fifo > from-fifo & } && \"$0\" captions result.json --font 'DejaVu Sans' --size 24 --width 400 -o fifo; "
            "status=$?; wait; exit $status", "from-fifo"}}) {
    const auto fromResult = test::runProgram("/bin/sh", {"-c", "cd \"$1\" && " + command, TOVI, dir.path});
    EXPECT_EQ(fromResult.status, 0) << fromResult.output;
    EXPECT_EQ(written.empty() ? fromResult.output : test::readFile(dir / written), srt) << command;
  }
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.srt"));
  EXPECT_EQ(std::filesystem::status(dir / "target.srt").permissions(), std::filesystem::perms(0600));
  // Several inputs: a file for each, named after it, in the folder -o names.
  ASSERT_TRUE(std::filesystem::create_directory(dir / "out"));
  std::filesystem::copy_file(dir / "result.json", dir / "again.json");
  const auto several = test::runProgram(TOVI, captions({dir / "result.json", dir / "again.json"}, {"--format", "VTT", "-o", dir / "out"}));
  EXPECT_EQ(several.output, dir / "out/result.vtt\n" + dir / "out/again.vtt\n");
  EXPECT_EQ(test::readFile(dir / "out/again.vtt"), test::readFile(dir / "out/result.vtt"));

  // The envelope as a picture, from the result and from the audio: the same levels, a valid SVG.
  for (const auto& source : {dir / "result.json", speech}) ASSERT_EQ(test::runProgram(TOVI, {"envelope", source, "-o", source + ".svg"}).status, 0);
  EXPECT_EQ(test::readFile(dir / "result.json.svg"), test::readFile(speech + ".svg"));
  run = test::runProgram("/usr/bin/rsvg-convert", {"-o", dir / "a.png", speech + ".svg"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(test::readFile(speech + ".svg").value_or("").find(" dB</text>"), std::string::npos);

  // Failures: the helper's own sentence (with help for a font) and a non-zero status; a file that
  // is no transcription result, or whose envelope has no usable "hop": a sentence of tovi's; wrong
  // use: the usage and status 2.
  for (const auto& [name, text] : {std::pair{"measure.json", R"({"ok":true,"widths":[1]})"}, {"hop0.json", R"({"ok":true,"env":{"hop":0,"db":[-20]}})"},
                                   {"hopText.json", R"({"ok":true,"env":{"hop":"0.01","db":[-20]}})"}})
    test::writeFile(dir / name, text);
  for (const auto& [arguments, status, message] : std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
           {{"transcribe", speech, "--model", dir / "missing.bin"}, 1, "tovi: Whisper model not found: " + dir / "missing.bin\n"},
           {{"captions", dir / "result.json", "--font", "Liberaton Sans", "--size", "24", "--width", "400"}, 1,
            "tovi: The font Liberaton Sans isn't installed on this Mac. Installed families with the nearest names: Liberation Sans, "},
           {captions({dir / "measure.json"}), 1, "tovi: " + dir / "measure.json holds no transcript"},
           {{"envelope", dir / "hop0.json"}, 1, "tovi: " + dir / "hop0.json holds a loudness envelope whose \"hop\" is"},
           {{"envelope", dir / "hopText.json"}, 1, "tovi: " + dir / "hopText.json holds a loudness envelope whose"},
           {captions({dir / "result.json", dir / "out/../result.json"}), 2,
            "tovi: " + dir / "result.json and " + dir / "out/../result.json would both write"},
           {{"captions", "--help"}, 0, "usage: tovi transcribe"},
           {{"transcribe", dir / "missing.wav", "--model", model}, 1, "tovi: Audio not found: " + dir / "missing.wav\n"},
           {{"captions", dir / "result.json", "--font", "DejaVu Sans", "--size", "24"}, 2, "tovi: captions needs --width\n"},
           {{"captions", dir / "result.json", "--font", "DejaVu Sans", "--size", "0", "--width", "400"}, 2,
            "tovi: --size needs a positive number, not \"0\"\n"}}) {
    run = test::runProgram(TOVI, arguments);
    EXPECT_EQ(std::pair(run.status, run.output.substr(0, message.size())), std::pair(status, message)) << run.output;
  }
}

// Models of released shapes (made small): tovi gives whisper-cli the DTW preset of the shape
// (one whose heads the model lacks makes whisper-cli crash), so the words take DTW times, not the
// token offsets they have without DTW; a shape of no preset (distilled) runs without.
void expectDtwPresets(const test::TempDir& dir, const std::string& speech, const std::vector<std::string>& shapes) {
  auto firstCueStart = [&](const std::string& shape, const std::vector<std::string>& dtw) {
    const std::string model = dir / shape;
    if (!test::exists(model)) { EXPECT_EQ(test::runProgram(TOVI_SOURCE_DIR "/tools/make-tiny-whisper-model", {"--shape", shape, model}).status, 0); }
    const auto run = test::runProgram(TOVI, captions({speech, "--model", model}, dtw));
    EXPECT_EQ(run.status, 0) << shape << ": " << run.output;
    return run.output.substr(0, 14);  // "1\nHH:MM:SS,mmm"
  };
  const std::string multilingual = firstCueStart("tiny", {"--dtw", "none"});
  std::string english;
  EXPECT_EQ(firstCueStart("distil-large-v3", {}), multilingual);
  for (const auto& shape : shapes) {
    if (shape.ends_with(".en") && english.empty()) english = firstCueStart("tiny.en", {"--dtw", "none"});
    EXPECT_NE(firstCueStart(shape, {}), shape.ends_with(".en") ? english : multilingual) << shape;
  }
}

TEST_F(Tovi, GivesWhisperTheDtwPresetOfTheModelShape) { expectDtwPresets(dir, speech, {"tiny"}); }

// Each shape's run takes seconds.
TEST_F(Tovi, GivesWhisperTheDtwPresetOfEveryModelShape) {
  expectDtwPresets(dir, speech, {"tiny.en", "base", "base.en", "small", "small.en", "medium", "medium.en", "large-v1",
                                 "large-v2", "large-v3", "large-v3-turbo"});
}

// On a terminal, the device it runs on: llvmpipe (a Vulkan device that runs on the processor, and
// slowly) when ggml is told to take it.
TEST_F(Tovi, NamesTheGpuItRunsOn) {
  const auto run = onTerminal("GGML_VK_VISIBLE_DEVICES=0 " + TOVI + " transcribe '" + speech + "' --model '" + model + "'");
  EXPECT_TRUE(std::regex_search(run.output, std::regex(R"(\] 100% on the GPU: llvmpipe[^|\r\n\x1b]*(\x1b\[K)?\r?\nHello)"))) << run.output;
}

// SIGTERM, SIGINT and SIGHUP stop tovi at once, without a terminal, in the middle of a
// transcription: the helper and whisper-cli go with it, and nothing is left in the temporary
// directory. A run killed outright leaves its folder, which the next run takes away.
TEST_F(Tovi, StopsAtOnceAndLeavesNothingBehind) {
  test::TempDir temporary;
  speech::writeTone(dir / "tone.wav", 600);
  // whisper-cli is at work once the helper's folder for its output is there.
  auto whisperRuns = [&] {
    for (const auto& run : files::list(temporary.path))
      for (const auto& inner : files::list(temporary / run))
        if (inner.compare(0, 13, "tovi-whisper.") == 0) return true;
    return false;
  };
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
    process::Invocation invocation;
    invocation.executable = "/usr/bin/env";  // which becomes tovi
    invocation.arguments = {"TMPDIR=" + temporary.path, TOVI, "transcribe", dir / "tone.wav", "--model", model};
    invocation.out = invocation.err = process::Stream::null;
    const pid_t pid = process::spawn(invocation).pid;
    ASSERT_TRUE(test::waitFor(whisperRuns)) << signal;
    ::kill(pid, signal);
    EXPECT_EQ(process::wait(pid), 128 + signal);
    EXPECT_EQ(files::list(temporary.path).size(), signal == SIGKILL ? 1u : 0u) << signal;
  }
  EXPECT_EQ(test::runProgram("/usr/bin/env", {"TMPDIR=" + temporary.path, TOVI, "captions", "--help"}).status, 0);
  EXPECT_EQ(files::list(temporary.path), std::vector<std::string>{});
}

}  // namespace
