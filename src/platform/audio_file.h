// Audio files read as 32-bit float frames at their own sample rate and channel count, through
// libsndfile. Integer PCM comes normalised as Core Audio scales it (16-bit by 1/32768, 24-bit by
// 1/8388608); float files keep samples beyond ±1.0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace audio_file {

class Reader {
 public:
  // Opens the file for reading. On failure returns nothing and puts the reader's own description
  // of the cause in `error` ("Format not recognised.", "No such file or directory", "Is a
  // directory"). The format comes from the content only, never from the name; "-" is a file name
  // like any other (never standard input), a path with a NUL character fails, and so does a FIFO
  // without a writer, instead of blocking.
  static std::optional<Reader> open(const std::string& path, std::string& error);

  Reader(Reader&&) noexcept;
  Reader& operator=(Reader&&) noexcept;
  ~Reader();

  int channels() const { return channels_; }
  int sampleRate() const { return sampleRate_; }
  // The length the file announces; nothing when it does not say (some FLAC and piped files).
  std::optional<int64_t> frames() const { return frames_; }

  // True when the file holds 16-bit integer PCM, which read() can also deliver as the stored
  // integers: each is then exactly its float sample × 32768.
  bool pcm16() const { return pcm16_; }

  // Reads up to `count` interleaved frames into `out` (room for count × channels() samples) and
  // returns how many it read, 0 only at the end of the audio. A decoding or input error throws
  // std::runtime_error "Cannot read <path>: <cause>".
  size_t read(float* out, size_t count);
  size_t read(int16_t* out, size_t count);

 private:
  struct Handle;
  Reader(std::string path, std::unique_ptr<Handle> handle);
  template <typename Sample>
  size_t readAll(Sample* out, size_t count);

  std::string path_;
  std::unique_ptr<Handle> handle_;
  int channels_ = 0;
  int sampleRate_ = 0;
  std::optional<int64_t> frames_;
  bool pcm16_ = false;
};

}  // namespace audio_file
