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
// "error": ...}. Calls `onProgress` for every change of the progress file. Throws
// std::runtime_error when the helper cannot be started or leaves no readable result.
nlohmann::json runJob(nlohmann::json job, const std::function<void(const Progress&)>& onProgress = {});

// Where the helper's transcriptions run, for a person to read: "on the GPU: <device>" for the
// Vulkan device that ggml takes for the bundled whisper-cli in this environment, else "on the
// CPU". Asks that whisper-cli itself, which names ggml's devices as it starts.
std::string transcriptionDevice();

// From now on SIGINT and SIGTERM stop a running job: runJob stops the helper, cleans up and throws.
void stopOnSignals();

// The signal that asked to stop, or 0.
int stopSignalReceived();
