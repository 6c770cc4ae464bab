#include "speech/transcription.h"

#include "audio/envelope.h"
#include "jobs/failure.h"
#include "jobs/program.h"
#include "platform/files.h"
#include "speech/download.h"
#include "speech/whisper.h"

nlohmann::json transcriptionJob(const Job& job) {
  if (!job.wav || !files::exists(*job.wav)) throw Failure("Audio not found: " + job.wav.value_or(""));
  if (!job.model) throw Failure("Whisper model not found: ");
  if (!files::exists(*job.model) && job.modelURL) downloadModel(job);
  if (!files::exists(*job.model)) throw Failure("Whisper model not found: " + *job.model);
  // The envelope comes first: audio that cannot be read fails before whisper-cli is started.
  nlohmann::json db = envelope(*job.wav);
  nlohmann::json whisper = transcribe(job);
  return nlohmann::json{{"ok", true},
                        {"whisper", std::move(whisper)},
                        {"env", {{"hop", HOP}, {"db", std::move(db)}}}};
}
