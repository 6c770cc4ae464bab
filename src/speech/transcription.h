// The transcription job: audio and model checks, the model download, the envelope and whisper-cli.
#pragma once

#include <nlohmann/json.hpp>

#include "jobs/job.h"

// The success result {"ok": true, "whisper": ..., "env": {"hop": HOP, "db": [...]}}; throws
// Failure or a platform error.
nlohmann::json transcriptionJob(const Job& job);
