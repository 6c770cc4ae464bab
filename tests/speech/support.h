// What the speech and client tests share: the real whisper-cli, tone audio and the loopback model
// server.
#pragma once

#include <sys/types.h>

#include "support/support.h"

namespace speech {

using json = nlohmann::json;
using test::runJob;

// The real whisper-cli that tools/build-whisper puts into the build tree.
inline std::string realWhisper() { return TOVI_BUILD_DIR "/lib/ToviHelper/whisper/whisper-cli"; }

// A 16 kHz mono 16-bit WAV of a 400 Hz tone.
void writeTone(const std::string& path, double seconds);

// The loopback HTTP server of model-server.py serving files from `folder` at `url`
// ("http://127.0.0.1:PORT/").
struct ModelServer {
  explicit ModelServer(const std::string& folder);
  ~ModelServer();
  pid_t pid;
  std::string url;
};

}  // namespace speech
