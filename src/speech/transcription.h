// The transcription job: audio and model checks, the model download, the envelope and whisper-cli.
#pragma once

#include <vector>

#include "jobs/job.h"
#include "speech/whisper.h"

// A transcription's success: whisper-cli's transcript, not yet read, and the envelope.
struct Transcription {
  Transcript whisper;
  std::vector<double> db;
};

// Runs the job up to its result; throws Failure or a platform error.
Transcription transcriptionJob(const Job& job);

// Writes the success result {"ok":true,"whisper":...,"env":{"hop":HOP,"db":[...]}} to `fd` with the
// result writer's byte rules, passing the transcript through as it is read (see TranscriptFilter),
// so that neither it nor the result is ever held whole. Throws the transcript's Failure when it is
// not a transcript, or cannot be read, and Failure "The result of this job could not be written as
// JSON" for a level that is not finite; false when `fd` cannot be written. Once it has thrown or
// failed, what reached `fd` is to be thrown away.
bool writeResult(const Transcription& result, int fd);
