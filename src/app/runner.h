// Carries one job file from request to answer.
#pragma once

#include <string>

// Reads and decodes the job at `jobPath`, runs the branch for its kind and writes exactly one
// result: to the job's "out", or "Unreadable job file" to jobPath + ".result.json" when the file
// cannot be read or decoded. Never throws and never ends the process.
void run(const std::string& jobPath);

// The same for a job file that the caller holds open at `fd` (read from where it stands) and that
// `jobPath` names. False, with no result written, when the job failed after the helper was asked
// to stop (process::stopping()): its failure may be the stop's doing, so the job is to be handed
// back rather than answered.
bool run(const std::string& jobPath, int fd);
