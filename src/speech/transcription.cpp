#include "speech/transcription.h"

#include "jobs/failure.h"

nlohmann::json transcriptionJob(const Job&) {
  throw Failure("Transcription is not available in this build of ToviHelper");
}
