// whisper-cli: which executable runs, and one run of it over the job's audio.
#pragma once

#include <string>
#include <utility>

#include "jobs/job.h"
#include "platform/files.h"

// The whisper-cli to start: the job's "whisper" when it names an executable file (returned as
// written, relative or not), else the bundle copy resourcePath() + "/whisper/whisper-cli" when it
// is executable, else "/opt/homebrew/bin/whisper-cli" untested. Never fails.
std::string whisperPath(const Job& job);

// whisper-cli's transcript file, open for reading though the file itself is gone, and the failure
// that stands for it when what it holds is not a transcript. Closes the file at the end.
class Transcript {
 public:
  Transcript(files::Descriptor fd, std::string failure) : fd_(std::move(fd)), failure_(std::move(failure)) {}

  int fd() const { return fd_.get(); }
  const std::string& failure() const { return failure_; }  // "whisper-cli failed (0): <last lines>"

 private:
  files::Descriptor fd_;
  std::string failure_;
};

// Runs whisper-cli over the job's "wav" with its "model" and gives its transcript file, not yet
// read. Progress lines on its standard error become {"progress": n} in out + ".progress". Throws
// Failure "Cannot start whisper-cli (<path>): <cause>" or "whisper-cli failed (<status>): <last
// lines of standard error>" (a status other than 0, or no transcript file that can be opened).
// Blocks until whisper-cli has exited; the transcript file and the private folder that held it
// are gone from the file system on every way out. A run that took a GPU and failed is run once
// more on the CPU alone (ggml's Vulkan backend not even loaded, "-ng"), its progress from 0 again,
// and that run's outcome is the answer.
Transcript transcribe(const Job& job);
