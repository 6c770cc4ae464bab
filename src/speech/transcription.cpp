#include "speech/transcription.h"

#include <cerrno>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "jobs/failure.h"
#include "platform/files.h"
#include "speech/download.h"
#include "speech/transcript_filter.h"
#include "speech/whisper.h"

namespace {

// A transcription's success: whisper-cli's transcript, not yet read, and the envelope.
struct Transcription {
  Transcript whisper;
  Levels env;
};

// Bytes read from the transcript at a time, and bytes gathered before a write.
constexpr size_t READ_SIZE = size_t{1} << 18;
constexpr size_t WRITE_SIZE = size_t{1} << 16;

// Gathers small pieces into whole writes; large pieces go straight through.
class Output {
 public:
  explicit Output(int fd) : fd_(fd), buffer_(new char[WRITE_SIZE]) {}

  bool put(std::string_view bytes) {
    if (used_ + bytes.size() > WRITE_SIZE) {
      if (!flush()) return false;
      if (bytes.size() > WRITE_SIZE / 2) return files::writeAll(fd_, bytes);
    }
    std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
    return true;
  }

  // Room for `n` bytes written in place, then taken with commit().
  char* reserve(size_t n) { return used_ + n > WRITE_SIZE && !flush() ? nullptr : buffer_.get() + used_; }
  void commit(char* end) { used_ = static_cast<size_t>(end - buffer_.get()); }

  bool flush() {
    const bool ok = files::writeAll(fd_, std::string_view(buffer_.get(), used_));
    used_ = 0;
    return ok;
  }

 private:
  int fd_;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
};

constexpr size_t NUMBER_SIZE = 32;

// A double as the result writer writes one: the shortest text that reads back as the same value,
// with ".0" on a whole number. Only finite values come here. Levels are whole tenths of a
// decibel, which are written straight from their integer count of tenths; for any such value
// "<tenths / 10>.<last digit>" is that shortest text.
char* putNumber(char* w, double value) {
  const double tenths = value * 10;
  if (std::fabs(tenths) < 1e15) {
    const auto count = static_cast<int64_t>(tenths < 0 ? tenths - 0.5 : tenths + 0.5);
    if (static_cast<double>(count) / 10 == value) {
      if (std::signbit(value)) *w++ = '-';
      const uint64_t magnitude = static_cast<uint64_t>(count < 0 ? -count : count);
      w = std::to_chars(w, w + 20, magnitude / 10).ptr;
      *w++ = '.';
      *w++ = static_cast<char>('0' + magnitude % 10);
      return w;
    }
  }
  char* end = std::to_chars(w, w + NUMBER_SIZE - 2, value).ptr;
  if (std::find_if(w, end, [](char c) { return c == '.' || c == 'e'; }) == end) {
    std::memcpy(end, ".0", 2);
    end += 2;
  }
  return end;
}

bool writeResult(const Transcription& result, int fd) {
  Output out(fd);
  if (!out.put(R"({"ok":true,"whisper":)")) return false;

  TranscriptFilter filter;
  bool written = true;
  const auto sink = [&](std::string_view piece) { return written = out.put(piece); };
  std::unique_ptr<char[]> buffer(new char[READ_SIZE]);
  for (;;) {
    const ssize_t n = ::read(result.whisper.fd(), buffer.get(), READ_SIZE);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw Failure(result.whisper.failure());
    if (n == 0) break;
    if (!filter.feed(std::string_view(buffer.get(), static_cast<size_t>(n)), sink)) {
      if (!written) return false;
      throw Failure(result.whisper.failure());
    }
  }
  if (!filter.finish()) throw Failure(result.whisper.failure());
  buffer.reset();

  char hop[NUMBER_SIZE];
  if (!out.put(R"(,"env":{"hop":)") || !out.put(std::string_view(hop, putNumber(hop, result.env.hop))) ||
      !out.put(R"(,"db":[)"))
    return false;
  for (size_t i = 0; i < result.env.db.size(); ++i) {
    if (!std::isfinite(result.env.db[i]))
      throw Failure("The result of this job could not be written as JSON");
    char* w = out.reserve(NUMBER_SIZE + 1);
    if (w == nullptr) return false;
    if (i > 0) *w++ = ',';
    out.commit(putNumber(w, result.env.db[i]));
  }
  return out.put("]}}") && out.flush();
}

}  // namespace

std::function<bool(int fd)> transcriptionJob(const Job& job, const Loudness& loudness) {
  if (!job.wav || !files::exists(*job.wav)) throw Failure("Audio not found: " + job.wav.value_or(""));
  if (!job.model) throw Failure("Whisper model not found: ");
  if (!files::exists(*job.model) && job.modelURL) downloadModel(job);
  else if (job.modelURL) files::removeStale(*job.model + ".part");  // a dead download's leftover
  if (!files::exists(*job.model)) throw Failure("Whisper model not found: " + *job.model);
  // The envelope comes first: audio that cannot be read fails before whisper-cli is started.
  Levels env = loudness(*job.wav);
  auto result = std::make_shared<Transcription>(Transcription{transcribe(job), std::move(env)});
  return [result](int fd) { return writeResult(*result, fd); };
}

