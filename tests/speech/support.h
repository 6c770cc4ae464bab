// What the speech tests share: the fake and the real whisper-cli, speech and tone audio, the tiny
// model, jobs run through the built helper, and the loopback model server.
#pragma once

#include <string>

#include <nlohmann/json.hpp>
#include <sys/types.h>

#include "support/support.h"

namespace speech {

using json = nlohmann::json;

// The real whisper-cli that tools/build-whisper puts into the build tree.
std::string realWhisper();

// A fake whisper-cli in a folder of its own, doing what `behaviour` says (see fake-whisper-cli).
struct FakeWhisper {
  explicit FakeWhisper(const json& behaviour = json::object());
  void behave(const json& behaviour);
  json record() const;  // what it recorded when behaviour has "record": true
  std::string path;     // the executable to name in a job's "whisper"
  test::TempDir dir;
};

// Speaks `text` with espeak-ng into a WAV file.
void speak(const std::string& text, const std::string& path);
// A 16-bit PCM WAV of a 440 Hz tone.
void writeTone(const std::string& path, double seconds, int rate = 16000, int channels = 1);
// The tiny hand-set model of tools/make-tiny-whisper-model.
void makeTinyModel(const std::string& path);

// Writes `job` (with "out" set to dir/result.json unless it has one) to dir/job.tovijob, runs the
// helper in job mode and gives the result.
json runJob(json job, const test::TempDir& dir);

// The loopback HTTP server of model-server.py serving files from `folder`.
struct ModelServer {
  explicit ModelServer(const std::string& folder);
  ~ModelServer();
  ModelServer(const ModelServer&) = delete;
  ModelServer& operator=(const ModelServer&) = delete;
  std::string url(const std::string& route) const;  // "http://127.0.0.1:PORT/" + route
  pid_t pid = -1;
  int port = 0;
};

}  // namespace speech
