#include "support.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <stdexcept>

#include "platform/process.h"

namespace speech {

std::string realWhisper() { return TOVI_BUILD_DIR "/lib/ToviHelper/whisper/whisper-cli"; }

FakeWhisper::FakeWhisper(const json& behaviour) {
  path = dir / "whisper-cli";
  std::filesystem::create_symlink(TOVI_SOURCE_DIR "/tests/speech/fake-whisper-cli", path);
  behave(behaviour);
}

void FakeWhisper::behave(const json& behaviour) {
  json b = behaviour;
  if (b.value("record", false)) b["record"] = dir / "record.json";
  test::writeFile(dir / "fake-whisper.json", b.dump());
}

json FakeWhisper::record() const { return test::readJson(dir / "record.json"); }

void speak(const std::string& text, const std::string& path) {
  auto run = test::runProgram("/usr/bin/espeak-ng", {"-w", path, text});
  if (run.status != 0) throw std::runtime_error("espeak-ng failed: " + run.output);
}

void writeTone(const std::string& path, double seconds, int rate, int channels) {
  const auto frames = static_cast<uint32_t>(seconds * rate);
  std::string data;
  data.reserve(frames * channels * 2);
  for (uint32_t i = 0; i < frames; ++i) {
    auto sample = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440 * i / rate));
    for (int c = 0; c < channels; ++c) data.append(reinterpret_cast<const char*>(&sample), 2);
  }
  auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [](uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
  std::string wav = "RIFF" + u32(36 + static_cast<uint32_t>(data.size())) + "WAVEfmt " + u32(16) +
                    u16(1) + u16(static_cast<uint16_t>(channels)) + u32(static_cast<uint32_t>(rate)) +
                    u32(static_cast<uint32_t>(rate * channels * 2)) +
                    u16(static_cast<uint16_t>(channels * 2)) + u16(16) + "data" +
                    u32(static_cast<uint32_t>(data.size())) + data;
  test::writeFile(path, wav);
}

void makeTinyModel(const std::string& path) {
  auto run = test::runProgram(TOVI_SOURCE_DIR "/tools/make-tiny-whisper-model", {path});
  if (run.status != 0) throw std::runtime_error("make-tiny-whisper-model failed: " + run.output);
}

json runJob(json job, const test::TempDir& dir) {
  if (!job.contains("out")) job["out"] = dir / "result.json";
  test::writeJob(dir / "job.tovijob", job);
  auto run = test::runHelper({dir / "job.tovijob"}, std::chrono::minutes(5));
  if (run.timedOut) throw std::runtime_error("the helper did not finish");
  return test::readJson(job["out"]);
}

ModelServer::ModelServer(const std::string& folder) {
  process::Spec spec;
  spec.executable = "/usr/bin/env";
  spec.arguments = {"python3", TOVI_SOURCE_DIR "/tests/speech/model-server.py", folder};
  spec.out = process::Stream::pipe;
  auto child = process::spawn(spec);
  pid = child.pid;
  std::string line;
  pollfd pfd{child.outFd, POLLIN, 0};
  while (line.find('\n') == std::string::npos && ::poll(&pfd, 1, 60000) > 0) {
    char buffer[64];
    ssize_t n = ::read(child.outFd, buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<size_t>(n));
  }
  ::close(child.outFd);
  port = std::atoi(line.c_str());
  if (port <= 0) throw std::runtime_error("the model server did not start");
}

ModelServer::~ModelServer() {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

std::string ModelServer::url(const std::string& route) const {
  return "http://127.0.0.1:" + std::to_string(port) + "/" + route;
}

}  // namespace speech
