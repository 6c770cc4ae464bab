// The transcription job: audio first, then the model, then the envelope, then whisper-cli.
#include <gtest/gtest.h>

#include <filesystem>

#include "support.h"

namespace speech {
namespace {

struct TranscriptionJob : ::testing::Test {
  TranscriptionJob() { writeTone(dir / "a.wav", 1.0, 48000, 2); }
  test::TempDir dir;
  FakeWhisper fake{{{"record", true}, {"transcript", R"({"transcription":[]})"}}};
};

TEST_F(TranscriptionJob, AudioIsCheckedBeforeTheModel) {
  EXPECT_EQ(runJob(json::object(), dir)["error"], "Audio not found: ");
  EXPECT_EQ(runJob({{"wav", dir / "none.wav"}, {"model", dir / "none.bin"}}, dir)["error"],
            "Audio not found: " + dir / "none.wav");
  EXPECT_EQ(runJob({{"wav", dir / "a.wav"}}, dir)["error"], "Whisper model not found: ");
  EXPECT_EQ(runJob({{"wav", dir / "a.wav"}, {"model", dir / "none.bin"}}, dir)["error"],
            "Whisper model not found: " + dir / "none.bin");
  EXPECT_FALSE(test::exists(fake.dir / "record.json"));
}

TEST_F(TranscriptionJob, TheEnvelopeComesBeforeWhisperCli) {
  test::writeFile(dir / "text.wav", "not audio");
  for (const std::string& wav : {dir / "text.wav", dir.path}) {  // a folder passes the first test
    std::string error = runJob({{"wav", wav}, {"model", dir / "a.wav"}, {"whisper", fake.path}}, dir)["error"];
    EXPECT_EQ(error.rfind("Cannot read " + wav, 0), 0u) << error;
  }
  EXPECT_FALSE(test::exists(fake.dir / "record.json"));
}

TEST_F(TranscriptionJob, AnswersWithExactlyTheTranscriptAndTheEnvelope) {
  for (json kind : {json(nullptr), json("transcribe"), json("Transcribe"), json("anything")}) {
    json result = runJob({{"kind", kind}, {"wav", dir / "a.wav"}, {"model", dir / "a.wav"},
                          {"whisper", fake.path}},
                         dir);
    ASSERT_EQ(result.size(), 3u) << result;
    EXPECT_EQ(result["ok"], true);
    EXPECT_EQ(result["whisper"], json({{"transcription", json::array()}}));
    ASSERT_EQ(result["env"].size(), 2u);
    EXPECT_EQ(result["env"]["hop"], 0.01);
    EXPECT_EQ(result["env"]["db"].size(), 100u);  // one level per 10 ms of the 1 s tone
  }
}

}  // namespace
}  // namespace speech
