// What the speech tests share: the fake and the real whisper-cli, tone audio and the loopback
// model server.
#pragma once

#include <sys/types.h>

#include "support/support.h"

namespace speech {

using json = nlohmann::json;
using test::runJob;

// The real whisper-cli that tools/build-whisper puts into the build tree.
inline std::string realWhisper() { return TOVI_BUILD_DIR "/lib/ToviHelper/whisper/whisper-cli"; }

// A fake whisper-cli in a folder of its own, doing what `behaviour` says (see fake-whisper-cli);
// with "record": true, record() gives what it saw. Its grandchild, if it left one, ends with it.
struct FakeWhisper {
  explicit FakeWhisper(const json& behaviour = json::object());
  ~FakeWhisper();
  void behave(json behaviour);
  json record() const { return test::readJson(dir / "record.json"); }
  test::TempDir dir;
  std::string path = dir / "whisper-cli";  // the executable to name in a job's "whisper"
};

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
