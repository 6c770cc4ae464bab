// Carries one job file from request to answer.
#pragma once

#include <string>

// Reads and decodes the job at `jobPath`, runs the branch for its kind and writes exactly one
// result: to the job's "out", or "Unreadable job file" to jobPath + ".result.json" when the file
// cannot be read or decoded. Never throws and never ends the process.
void run(const std::string& jobPath);

// The same for a job file that the caller holds open at `fd` (read from where it stands) and that
// `jobPath` names. True when the job is done with: answered, or its answer can never be written
// (its folder is missing). False when the job is to be kept for a later attempt: it failed after
// the helper was asked to stop (process::stopping(), which may have caused the failure), or its
// answer could not be written for want of something that may come back (descriptors, memory,
// disk space). An "out" that names anything but a regular file is never replaced: the job is not
// run and its failure goes to jobPath + ".result.json".
bool run(const std::string& jobPath, int fd);

// Answers the job open at `fd` with the failure `message` instead of running it; true and false
// as for run().
bool refuse(const std::string& jobPath, int fd, const std::string& message);
