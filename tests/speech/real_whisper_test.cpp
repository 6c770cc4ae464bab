// The real whisper-cli 1.9.1 (built into the build tree by tools/build-whisper) over speech from
// espeak-ng, with the tiny hand-set model: the words are the model's, everything else is real.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "jobs/failure.h"
#include "jobs/job.h"
#include "speech/whisper.h"
#include "support.h"

namespace speech {
namespace {

TEST(RealWhisper, TheHelperAnswersWithWhatWhisperCliWritesAndCarriesItsLastLines) {
  // CI builds whisper-cli; a missing one is a broken build, not a reason to skip.
  ASSERT_TRUE(test::exists(realWhisper())) << "run tools/build-whisper " TOVI_BUILD_DIR;
  test::TempDir dir;
  const std::string model = dir / "tiny.bin", speech = dir / "speech.wav";
  ASSERT_EQ(test::runProgram(TOVI_SOURCE_DIR "/tools/make-tiny-whisper-model", {model}).status, 0);
  const std::string words = "The quick brown fox jumps over the lazy dog. Then it runs away.";
  ASSERT_EQ(test::runProgram("/usr/bin/espeak-ng", {"-w", speech, words}).status, 0);

  // The bundle copy in the build tree is the one the helper finds by itself.
  json result = runJob({{"wav", speech}, {"model", model}}, dir.path);
  ASSERT_EQ(result["ok"], true) << result;
  EXPECT_GT(result["env"]["db"].size(), 300u);
  // whisper-cli's last progress line reaches the progress file.
  EXPECT_EQ(test::readJson(dir / "result.json.progress"), json({{"progress", 100}}));
  auto alone = test::runProgram(realWhisper(), {"-m", model, "-f", speech, "-l", "auto", "-ojf", "-of", dir / "alone",
                                                "-nfa", "--dtw", "large.v3.turbo", "-t", "8", "-pp"});
  ASSERT_EQ(alone.status, 0) << alone.output;
  EXPECT_EQ(result["whisper"], test::readJson(dir / "alone.json"));
  EXPECT_EQ(result["whisper"]["transcription"][0]["text"], " Hello world.");

  // Asked for a Vulkan device with no Vulkan driver to be found, the CPU as ever: the same words.
  ::setenv("GGML_VK_VISIBLE_DEVICES", "0", 1);
  ::setenv("VK_DRIVER_FILES", (dir / "no-driver.json").c_str(), 1);
  ::setenv("VK_ICD_FILENAMES", (dir / "no-driver.json").c_str(), 1);
  const json again = runJob({{"wav", speech}, {"model", model}}, dir.path);
  for (const char* name : {"GGML_VK_VISIBLE_DEVICES", "VK_DRIVER_FILES", "VK_ICD_FILENAMES"}) ::unsetenv(name);
  EXPECT_EQ(again["whisper"]["transcription"], result["whisper"]["transcription"]);

  // Run directly, for the job itself would stop before whisper-cli on a missing model or audio
  // that cannot be read.
  auto failure = [&](const std::string& model, const std::string& wav) {
    const json fields{{"out", dir / "direct.json"}, {"wav", wav}, {"model", model}, {"whisper", realWhisper()}};
    try {
      transcribe(*decodeJob(fields.dump()));
    } catch (const Failure& failure) {
      return failure.message;
    }
    return std::string("no failure");
  };
  const std::string where = "whisper_init_from_file_with_params_no_state: ";
  for (const std::string& missing : {dir / "missing.bin", std::string()})
    EXPECT_EQ(failure(missing, speech), "whisper-cli failed (3): " + where + "loading model from '" + missing +
                                            "' | " + where + "failed to open '" + missing +
                                            "' | error: failed to initialize whisper context");
  // Not audio: whisper-cli exits 0 without a transcript, its last lines the timings it prints on the way out.
  test::writeFile(dir / "text.wav", "this is not audio\n");
  EXPECT_TRUE(std::regex_match(failure(model, dir / "text.wav"),
                               std::regex("whisper-cli failed \\(0\\): whisper_print_timings: +batchd time = [^|]+ \\| "
                                          "whisper_print_timings: +prompt time = [^|]+ \\| "
                                          "whisper_print_timings: +total time = +[0-9.]+ ms")))
      << failure(model, dir / "text.wav");
}

}  // namespace
}  // namespace speech
