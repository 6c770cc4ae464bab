// whisper-cli: which executable runs, and one run of it over the job's audio.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "jobs/job.h"

// The whisper-cli to start: the job's "whisper" when it names an executable file (returned as
// written, relative or not), else the bundle copy resourcePath() + "/whisper/whisper-cli" when it
// is executable, else "/opt/homebrew/bin/whisper-cli" untested. Never fails.
std::string whisperPath(const Job& job);

// Runs whisper-cli over the job's "wav" with its "model" and gives the parsed JSON transcript,
// unchanged. Progress lines on its standard error become {"progress": n} in out + ".progress".
// Throws Failure "Cannot start whisper-cli (<path>): <cause>" or "whisper-cli failed (<status>):
// <last lines of standard error>". Blocks until whisper-cli has exited; its output file and the
// private folder that holds it are gone on every way out.
nlohmann::json transcribe(const Job& job);
