// Running ToviHelper the way a host does: a job file in a folder of our own, the helper in job
// mode, its progress file followed while it runs, its result file read back.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

struct Progress {
  int64_t percent = 0;
  bool download = false;  // the model download, else the transcription
};

// ToviHelper in the folder of this program.
std::string helperExecutable();

// Runs one job ("out" is set here) and gives its result object, {"ok": true, ...} or {"ok": false,
// "error": ...}. Calls `onProgress` for every change of the progress file. The job's folder, in
// the temporary directory ($TMPDIR when it names a folder, else /tmp), is the helper's temporary
// directory too, so whatever the helper and whisper-cli leave goes with it. Throws
// std::runtime_error when the helper cannot be started or leaves no readable result.
nlohmann::json runJob(nlohmann::json job, const std::function<void(const Progress&)>& onProgress = {});

// Where the helper's transcriptions run, for a person to read: "on the GPU: <device>" for the
// Vulkan device that ggml takes for the bundled whisper-cli in this environment, else "on the
// CPU". Asks that whisper-cli itself, which names ggml's devices as it starts.
std::string transcriptionDevice();

// From now on SIGINT, SIGTERM and SIGHUP end tovi at once, whatever it is doing: the helper is
// stopped, the job's folder removed, and tovi exits with 128 + the signal. Also removes the
// folders that runs of this user which ended without cleaning up (killed outright, or the machine
// went down) left in the temporary directory; a folder is known to be left over when nothing holds
// the lock inside it. Call once, before anything else.
void stopOnSignals();

// While it lives, a stop also removes the file at `path` (a file being written beside the one it
// is to replace). One at a time.
class RemovedOnStop {
 public:
  explicit RemovedOnStop(const std::string& path);
  ~RemovedOnStop();
  RemovedOnStop(const RemovedOnStop&) = delete;
  RemovedOnStop& operator=(const RemovedOnStop&) = delete;
};
