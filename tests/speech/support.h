// What the speech, audio and client tests share: the real whisper-cli with real speech, tone audio,
// the loopback model server, and what a call throws.
#pragma once

#include <signal.h>
#include <sys/wait.h>

#include <stdexcept>

#include <gtest/gtest.h>

#include "jobs/failure.h"
#include "platform/process.h"
#include "support/support.h"

namespace speech {

using json = nlohmann::json;
using test::runJob;

// What `work` throws: a Failure's message, "error: " and another error's text, or "nothing".
template <typename Work>
std::string thrownBy(Work work) {
  try {
    work();
    return "nothing";
  } catch (const Failure& failure) {
    return failure.message;
  } catch (const std::exception& error) {
    return std::string("error: ") + error.what();
  }
}

// The real whisper-cli that tools/build-whisper puts into the build tree.
inline std::string realWhisper() { return TOVI_BUILD_DIR "/lib/ToviHelper/whisper/whisper-cli"; }

// The real whisper-cli (CI builds it: a missing one is a broken build, not a reason to skip), the
// tiny hand-set model, which always hears " Hello world.", and words spoken by espeak-ng.
struct RealSpeech : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(test::exists(realWhisper())) << "run tools/build-whisper " TOVI_BUILD_DIR;
    ASSERT_EQ(test::runProgram(TOVI_SOURCE_DIR "/tools/make-tiny-whisper-model", {model}).status, 0);
    const std::vector<std::string> say{"-w", speech, "Captions need words and times."};
    ASSERT_EQ(test::runProgram("/usr/bin/espeak-ng", say).status, 0);
  }
  test::TempDir dir;
  const std::string model = dir / "tiny.bin", speech = dir / "speech.wav";
};

// A 16 kHz mono 16-bit WAV of a 400 Hz tone at a quarter of full scale, by sox.
inline void writeTone(const std::string& path, double seconds) {
  const std::vector<std::string> sox{
      "-D", "-n", "-r", "16000", "-c", "1", "-b", "16", path,
      "synth", std::to_string(seconds), "sine", "400", "vol", "0.25"};
  if (test::runProgram("/usr/bin/sox", sox).status != 0)
    throw std::runtime_error("Cannot write " + path);
}

// The loopback HTTP server of model-server.py serving files from `folder` at `url`
// ("http://127.0.0.1:PORT/").
struct ModelServer {
  explicit ModelServer(const std::string& folder) {
    process::Invocation server{"/usr/bin/python3",
                               {TOVI_SOURCE_DIR "/tests/speech/model-server.py", folder}, {}};
    server.err = process::Stream::null;
    pid = process::spawn(server).pid;
    // The server writes its port, then a line feed, once it listens.
    std::string port;
    auto listening = [&] {
      port = test::readFile(folder + "/port").value_or("");
      return port.ends_with('\n');
    };
    if (!test::waitFor(listening, std::chrono::minutes(1)))
      throw std::runtime_error("no model server");
    url = "http://127.0.0.1:" + port.substr(0, port.size() - 1) + "/";
  }
  ~ModelServer() { ::kill(pid, SIGKILL); ::waitpid(pid, nullptr, 0); }
  pid_t pid;
  std::string url;
};

}  // namespace speech
