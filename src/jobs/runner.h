// Carries one job file from request to answer.
#pragma once

#include <string>

// Reads and decodes the job at `jobPath`, runs the branch for its kind and writes exactly one
// result: to the job's "out", or "Unreadable job file" to jobPath + ".result.json" when the file
// cannot be read or decoded. Never throws and never ends the process.
void run(const std::string& jobPath);
