// The transcription job: audio first, then the model, then the envelope, then whisper-cli.
#include <gtest/gtest.h>

#include "support.h"

namespace speech {
namespace {

TEST(TranscriptionJob, ChecksAudioModelAndEnvelopeBeforeAnsweringWithTranscriptAndEnvelope) {
  test::TempDir dir;
  FakeWhisper fake{{{"record", true}, {"transcript", R"({"transcription":[]})"}}};
  const std::string wav = dir / "a.wav", none = dir / "none.wav", model = dir / "none.bin";
  writeTone(wav, 1.0);
  for (const auto& [job, error] : std::vector<std::pair<json, std::string>>{
           {json::object(), "Audio not found: "},
           {{{"wav", none}, {"model", model}}, "Audio not found: " + none},
           // An unreachable "modelURL" would turn an attempt to fetch without a "model" into a
           // download failure.
           {{{"wav", wav}, {"modelURL", "http://127.0.0.1:1/m.bin"}}, "Whisper model not found: "},
           {{{"wav", wav}, {"model", model}}, "Whisper model not found: " + model}}) {
    EXPECT_EQ(runJob(job, dir)["error"], error);
  }
  test::writeFile(dir / "text.wav", "not audio");
  for (const std::string& bad : {dir / "text.wav", dir.path}) {  // a folder passes the first check
    std::string error = runJob({{"wav", bad}, {"model", wav}, {"whisper", fake.path}}, dir)["error"];
    EXPECT_EQ(error.rfind("Cannot read " + bad + ": ", 0), 0u) << error;
  }
  EXPECT_FALSE(test::exists(fake.dir / "record.json"));

  for (json kind : {json(nullptr), json("transcribe"), json("Transcribe"), json("anything")}) {
    json result = runJob({{"kind", kind}, {"wav", wav}, {"model", wav}, {"whisper", fake.path}}, dir);
    EXPECT_EQ(result, json({{"ok", true}, {"whisper", {{"transcription", json::array()}}},
                            {"env", {{"hop", 0.01}, {"db", result["env"]["db"]}}}}));
    EXPECT_EQ(result["env"]["db"].size(), 100u);  // one level per 10 ms of the 1 s tone
  }
}

}  // namespace
}  // namespace speech
