#include "support.h"

#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <cmath>

#include "platform/process.h"

namespace speech {

void writeTone(const std::string& path, double seconds) {
  std::vector<short> samples(static_cast<size_t>(seconds * 16000));
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<short>(8000 * std::sin(i * M_PI / 20));
  SF_INFO info{0, 16000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file || sf_write_short(file, samples.data(), samples.size()) != sf_count_t(samples.size()))
    throw std::runtime_error("Cannot write " + path);
  sf_close(file);
}

ModelServer::ModelServer(const std::string& folder) {
  process::Invocation server{"/usr/bin/python3", {TOVI_SOURCE_DIR "/tests/speech/model-server.py", folder}, {}};
  server.err = process::Stream::null;
  pid = process::spawn(server).pid;
  // The server writes its port, then a line feed, once it listens.
  std::string port;
  auto listening = [&] { return (port = test::readFile(folder + "/port").value_or("")).ends_with('\n'); };
  if (!test::waitFor(listening, std::chrono::minutes(1))) throw std::runtime_error("no model server");
  url = "http://127.0.0.1:" + port.substr(0, port.size() - 1) + "/";
}

ModelServer::~ModelServer() {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

}  // namespace speech
