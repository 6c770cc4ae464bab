// Fetching a missing speech model.
#pragma once

#include "jobs/job.h"

// Fetches "modelURL" with /usr/bin/curl into model + ".part" (creating the model's folder),
// writing {"progress": 0..99, "phase": "download"} to out + ".progress" about every 0.5 s when
// "modelSize" is above 0, checks the SHA-256 digest from /usr/bin/shasum against "modelSHA" when
// given, flushes the file to disk and moves it to "model". Does nothing without "model" or
// "modelURL". Throws Failure "The speech model download failed (no internet?). Try again." (curl
// failed, or received nothing for 60 s) or "The speech model download was damaged. Try again."
// (the partial file is removed for both), or a platform error for a tool that cannot be started
// or a move that fails (the partial file is kept).
void downloadModel(const Job& job);
