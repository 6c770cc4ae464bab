// The real whisper-cli 1.9.1 (built into the build tree by tools/build-whisper) over speech from
// espeak-ng, with the tiny hand-set model: the words are the model's, everything else is real.
#include <gtest/gtest.h>

#include <regex>

#include "jobs/failure.h"
#include "jobs/job.h"
#include "speech/whisper.h"
#include "support.h"

namespace speech {
namespace {

struct RealWhisper : ::testing::Test {
  static void SetUpTestSuite() {
    folder = new test::TempDir;
    makeTinyModel(*folder / "tiny.bin");
    speak("The quick brown fox jumps over the lazy dog. Then it runs away.", *folder / "speech.wav");
  }
  static void TearDownTestSuite() { delete folder; }
  void SetUp() override {
    // CI builds whisper-cli; a missing one is a broken build, not a reason to skip.
    ASSERT_TRUE(test::exists(realWhisper())) << "run tools/build-whisper " TOVI_BUILD_DIR;
  }
  static std::string model() { return *folder / "tiny.bin"; }
  static std::string speech() { return *folder / "speech.wav"; }
  static inline test::TempDir* folder = nullptr;
  test::TempDir dir;
};

TEST_F(RealWhisper, TheHelperAnswersWithWhatWhisperCliWritesWhenRunAlone) {
  // The bundle copy in the build tree is the one the helper finds by itself.
  json result = runJob({{"wav", speech()}, {"model", model()}}, dir);
  ASSERT_EQ(result["ok"], true) << result;
  EXPECT_EQ(result["env"]["hop"], 0.01);
  EXPECT_GT(result["env"]["db"].size(), 300u);
  // whisper-cli's last progress line reaches the progress file.
  EXPECT_EQ(test::readJson(dir / "result.json.progress"), json({{"progress", 100}}));

  auto alone = test::runProgram(realWhisper(),
                                {"-m", model(), "-f", speech(), "-l", "auto", "-ojf", "-of",
                                 dir / "alone", "-nfa", "--dtw", "large.v3.turbo", "-t", "8", "-pp"},
                                std::chrono::minutes(5));
  ASSERT_EQ(alone.status, 0) << alone.output;
  EXPECT_EQ(result["whisper"], test::readJson(dir / "alone.json"));
  EXPECT_EQ(result["whisper"]["transcription"][0]["text"], " Hello world.");
}

std::string notLoaded(const std::string& model) {
  const std::string where = "whisper_init_from_file_with_params_no_state: ";
  return "whisper-cli failed (3): " + where + "loading model from '" + model + "' | " + where +
         "failed to open '" + model + "' | error: failed to initialize whisper context";
}

std::string failureOf(const Job& job) {
  try {
    transcribe(job);
  } catch (const Failure& failure) {
    return failure.message;
  }
  return "no failure";
}

// Cases the transcription job itself would stop before whisper-cli, run directly.
TEST_F(RealWhisper, ItsFailuresCarryItsLastLines) {
  Job job;
  job.out = dir / "result.json";
  job.whisper = realWhisper();
  job.wav = speech();
  job.model = dir / "missing.bin";
  EXPECT_EQ(failureOf(job), notLoaded(dir / "missing.bin"));
  job.model = "";
  EXPECT_EQ(failureOf(job), notLoaded(""));

  // Not audio: whisper-cli exits 0 without writing a transcript.
  test::writeFile(dir / "text.wav", "this is not audio\n");
  job.model = model();
  job.wav = dir / "text.wav";
  // Its last lines are then the timings it prints on the way out.
  std::string message = failureOf(job);
  EXPECT_TRUE(std::regex_match(message, std::regex("whisper-cli failed \\(0\\): "
                                                   "whisper_print_timings: +batchd time = [^|]+ \\| "
                                                   "whisper_print_timings: +prompt time = [^|]+ \\| "
                                                   "whisper_print_timings: +total time = +[0-9.]+ ms")))
      << message;
}

}  // namespace
}  // namespace speech
