// The transcription job: audio and model checks, the model download, the envelope and whisper-cli.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "jobs/job.h"

// A loudness envelope: one level in dB for every `hop` seconds of the audio.
struct Levels {
  double hop;
  std::vector<double> db;
};

// What reads the envelope of the audio file at a path, throwing Failure when it cannot.
using Loudness = std::function<Levels(const std::string& path)>;

// Runs the job up to its result, taking the envelope from `loudness` once the audio and the model
// are known to be there and before whisper-cli starts; throws Failure or a platform error. Gives
// what writes the success result {"ok":true,"whisper":...,"env":{"hop":...,"db":[...]}} to an open
// result file with the result writer's byte rules, passing the transcript through as it is read
// (see TranscriptFilter), so that neither it nor the result is ever held whole. That writer runs
// once: it throws the transcript's Failure when it is not a transcript, or cannot be read, and
// Failure "The result of this job could not be written as JSON" for a level that is not finite; it
// gives false when `fd` cannot be written. Once it has thrown or failed, what reached `fd` is to be
// thrown away.
std::function<bool(int fd)> transcriptionJob(const Job& job, const Loudness& loudness);
