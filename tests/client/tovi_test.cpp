// tovi end to end: the built helper beside it, the real whisper-cli, speech from espeak-ng and the
// tiny hand-set model (it always hears " Hello world.").
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "speech/support.h"
#include "support/support.h"

namespace {

using nlohmann::json;

const std::string TOVI = TOVI_BUILD_DIR "/bin/tovi";
const std::string WHISPER = TOVI_BUILD_DIR "/lib/ToviHelper/whisper/whisper-cli";

TEST(Tovi, TranscribesCaptionsAndDrawsRealSpeechAndSaysWhatWentWrong) {
  ASSERT_TRUE(test::exists(WHISPER)) << "run tools/build-whisper " TOVI_BUILD_DIR;
  test::TempDir dir;
  const std::string model = dir / "tiny.bin", speech = dir / "speech.wav";
  ASSERT_EQ(test::runProgram(TOVI_SOURCE_DIR "/tools/make-tiny-whisper-model", {model}).status, 0);
  ASSERT_EQ(test::runProgram("/usr/bin/espeak-ng", {"-w", speech, "Captions need words and times."}).status, 0);

  // Without a terminal: the transcript alone, no progress bar.
  auto run = test::runProgram(TOVI, {"transcribe", speech, "--model", model, "-o", dir / "result.json"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output, "Hello world.\n");
  const json result = test::readJson(dir / "result.json");
  EXPECT_EQ(result["ok"], true);
  EXPECT_EQ(result["whisper"]["transcription"][0]["text"], " Hello world.");

  // On a terminal (script gives it one), a bar for the download of the missing model from a
  // loopback server, then one for the transcription, then the transcript.
  speech::ModelServer server(dir.path);
  const std::string fetched = dir / "models/tiny.bin";
  const auto size = std::to_string(test::readFile(model).value().size());
  run = test::runProgram("/usr/bin/script", {"-qec", TOVI + " transcribe '" + speech + "' --model '" + fetched +
                                                          "' --model-url " + server.url + "slow/tiny.bin --model-size " + size,
                                             "/dev/null"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(std::regex_search(run.output, std::regex(R"(Downloading the model +\[#*-+\] +\d+%)"))) << run.output;
  EXPECT_TRUE(std::regex_search(run.output, std::regex(R"(Transcribing +\[#+\] 100% on the CPU\r?\nHello world\.)")))
      << run.output;
  // The device it runs on: llvmpipe, a Vulkan device that runs on the processor, when ggml is told to take it.
  run = test::runProgram("/usr/bin/script", {"-qec", "GGML_VK_VISIBLE_DEVICES=0 " + TOVI + " transcribe '" + speech +
                                                          "' --model '" + fetched + "'", "/dev/null"});
  EXPECT_TRUE(std::regex_search(run.output, std::regex(R"(\[#+\] 100% on the GPU: llvmpipe[^|\r\n]*\r?\nHello)")))
      << run.output;

  // Captions straight from the audio, and from the saved result; the same either way.
  run = test::runProgram(TOVI, {"captions", speech, "--model", model, "--font", "DejaVu Sans", "--size", "24",
                                "--width", "400"});
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(std::regex_match(run.output, std::regex(R"(1\n00:00:0\d,\d{3} --> 00:00:0\d,\d{3}\nHello world\.\n\n)")))
      << run.output;
  auto fromResult = test::runProgram(TOVI, {"captions", dir / "result.json", "--font", "DejaVu Sans", "--size", "24",
                                            "--width", "400"});
  EXPECT_EQ(fromResult.output, run.output);
  // Several inputs: a file for each, named after it, in the folder -o names.
  ASSERT_TRUE(std::filesystem::create_directory(dir / "out"));
  std::filesystem::copy_file(dir / "result.json", dir / "again.json");
  fromResult = test::runProgram(TOVI, {"captions", dir / "result.json", dir / "again.json", "--font", "DejaVu Sans",
                                       "--size", "24", "--width", "400", "--format", "vtt", "-o", dir / "out"});
  EXPECT_EQ(fromResult.output, dir / "out/result.vtt\n" + dir / "out/again.vtt\n");
  EXPECT_EQ(test::readFile(dir / "out/again.vtt"), test::readFile(dir / "out/result.vtt"));
  EXPECT_EQ(test::readFile(dir / "out/again.vtt").value_or("").substr(0, 8), "WEBVTT\n\n");

  // The envelope as a picture, from the result and from the audio: the same levels, a valid SVG.
  ASSERT_EQ(test::runProgram(TOVI, {"envelope", dir / "result.json", "-o", dir / "a.svg"}).status, 0);
  ASSERT_EQ(test::runProgram(TOVI, {"envelope", speech, "-o", dir / "b.svg"}).status, 0);
  EXPECT_EQ(test::readFile(dir / "a.svg"), test::readFile(dir / "b.svg"));
  run = test::runProgram("/usr/bin/rsvg-convert", {"-o", dir / "a.png", dir / "a.svg"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(test::readFile(dir / "a.svg").value_or("").find(" dB</text>"), std::string::npos);

  // Failures: the helper's own sentence and a non-zero status; wrong use: the usage and status 2.
  for (const auto& [arguments, status, message] : std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
           {{"transcribe", speech, "--model", dir / "missing.bin"}, 1, "tovi: Whisper model not found: " + dir / "missing.bin\n"},
           {{"captions", dir / "result.json", "--font", "No Such Font", "--size", "24", "--width", "400"}, 1,
            "tovi: The font No Such Font isn't installed on this Mac\n"},
           {{"transcribe", dir / "missing.wav", "--model", model}, 1, "tovi: Audio not found: " + dir / "missing.wav\n"},
           {{"captions", dir / "result.json", "--font", "DejaVu Sans", "--size", "24"}, 2, "tovi: captions needs --width\n"},
           {{"captions", dir / "result.json", "--font", "DejaVu Sans", "--size", "0", "--width", "400"}, 2,
            "tovi: --size needs a positive number, not \"0\"\n"}}) {
    run = test::runProgram(TOVI, arguments);
    EXPECT_EQ(run.status, status) << run.output;
    EXPECT_EQ(run.output.substr(0, message.size()), message);
  }
}

}  // namespace
