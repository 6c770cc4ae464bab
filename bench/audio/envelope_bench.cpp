// Measures the loudness envelope against a bare libsndfile read of the same file as floats.
//   envelope-bench make <path> <seconds> [16|24|float]
//                                          writes a 48 kHz stereo WAV of speech-like noise, 16-bit
//                                          unless told otherwise
//   envelope-bench sparse <path> <frames> <rate>
//                                          writes an RF64 header for 8-bit mono and leaves the data
//                                          a hole of zero bytes (every sample -1.0)
//   envelope-bench bare <path>             reads the file as floats and does nothing else
//   envelope-bench envelope <path>         computes the envelope
// The last two print what they did and their peak resident memory.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <sndfile.h>

#include "audio/envelope.h"

namespace {

constexpr int RATE = 48000;
constexpr int CHANNELS = 2;
constexpr size_t BLOCK_SAMPLES = size_t{1} << 16;  // as the envelope reads

// The high-water mark of this program's own memory. Not getrusage's ru_maxrss, which keeps the
// peak of the process that forked us across exec.
long peakKiB() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, status) != nullptr)
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  std::fclose(status);
  return kib;
}

int make(const char* path, double seconds, const std::string& encoding) {
  SF_INFO info{};
  info.samplerate = RATE;
  info.channels = CHANNELS;
  info.format = SF_FORMAT_WAV | (encoding == "24"      ? SF_FORMAT_PCM_24
                                : encoding == "float" ? SF_FORMAT_FLOAT
                                                      : SF_FORMAT_PCM_16);
  SNDFILE* file = sf_open(path, SFM_WRITE, &info);
  if (file == nullptr) {
    std::fprintf(stderr, "cannot write %s: %s\n", path, sf_strerror(nullptr));
    return 1;
  }
  // Noise shaped by a slow syllable-rate swell, so levels vary the way speech does.
  std::mt19937 random(1);
  std::normal_distribution<float> noise(0.0f, 0.2f);
  const auto total = static_cast<int64_t>(seconds * RATE);
  std::vector<short> block(BLOCK_SAMPLES);
  const int64_t blockFrames = BLOCK_SAMPLES / CHANNELS;
  for (int64_t done = 0; done < total;) {
    const int64_t n = std::min(blockFrames, total - done);
    for (int64_t i = 0; i < n; ++i) {
      const double swell = 0.5 + 0.5 * std::sin(2 * M_PI * 4.0 * double(done + i) / RATE);
      for (int c = 0; c < CHANNELS; ++c) {
        const double v = std::clamp(swell * noise(random), -1.0, 1.0);
        block[size_t(i) * CHANNELS + c] = static_cast<short>(std::lrint(v * 32767));
      }
    }
    sf_writef_short(file, block.data(), n);
    done += n;
  }
  sf_close(file);
  std::printf("wrote %s: %lld frames\n", path, static_cast<long long>(total));
  return 0;
}

int bare(const char* path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path, SFM_READ, &info);
  if (file == nullptr) {
    std::fprintf(stderr, "cannot read %s: %s\n", path, sf_strerror(nullptr));
    return 1;
  }
  const auto blockFrames = static_cast<sf_count_t>(BLOCK_SAMPLES / size_t(info.channels));
  std::vector<float> block(BLOCK_SAMPLES);
  int64_t frames = 0;
  float last = 0;
  while (const sf_count_t got = sf_readf_float(file, block.data(), blockFrames)) {
    frames += got;
    last += block[0];  // keeps the read from being optimised away
  }
  sf_close(file);
  std::printf("bare: %lld frames (%g) peak %ld KiB\n", static_cast<long long>(frames), last,
              peakKiB());
  return 0;
}

int measure(const char* path) {
  const std::vector<double> levels = envelope(path);
  const auto [low, high] = std::minmax_element(levels.begin(), levels.end());
  std::printf("envelope: %zu levels from %.1f to %.1f dB, peak %ld KiB\n", levels.size(),
              levels.empty() ? 0.0 : *low, levels.empty() ? 0.0 : *high, peakKiB());
  return 0;
}

template <typename T>
void put(std::string& bytes, T value) {  // little-endian, as RF64 stores it
  for (size_t i = 0; i < sizeof value; ++i) bytes += static_cast<char>(uint64_t(value) >> (8 * i));
}

int sparse(const char* path, int64_t frames, uint32_t rate) {
  std::string h;
  h += "RF64";
  put(h, uint32_t{0xFFFFFFFF});
  h += "WAVEds64";
  put(h, uint32_t{28});
  const uint64_t header = 12 + 36 + 24 + 8;
  put(h, uint64_t(header - 8 + uint64_t(frames)));  // RIFF size
  put(h, uint64_t(frames));                          // data size
  put(h, uint64_t(frames));                          // sample count
  put(h, uint32_t{0});                               // no table
  h += "fmt ";
  put(h, uint32_t{16});
  put(h, uint16_t{1});  // integer PCM
  put(h, uint16_t{1});  // mono
  put(h, rate);
  put(h, rate);         // bytes per second
  put(h, uint16_t{1});  // block align
  put(h, uint16_t{8});  // bits
  h += "data";
  put(h, uint32_t{0xFFFFFFFF});
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr || std::fwrite(h.data(), 1, h.size(), file) != h.size() ||
      ::ftruncate(fileno(file), static_cast<off_t>(header + uint64_t(frames))) != 0) {
    std::perror(path);
    return 1;
  }
  std::fclose(file);
  std::printf("wrote %s: %lld frames\n", path, static_cast<long long>(frames));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "make") == 0)
    return make(argv[2], std::atof(argv[3]), argc == 5 ? argv[4] : "16");
  if (argc == 5 && std::strcmp(argv[1], "sparse") == 0)
    return sparse(argv[2], std::atoll(argv[3]), static_cast<uint32_t>(std::atol(argv[4])));
  if (argc == 3 && std::strcmp(argv[1], "bare") == 0) return bare(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "envelope") == 0) {
    try {
      return measure(argv[2]);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 1;
    }
  }
  std::fprintf(stderr,
               "usage: envelope-bench make <path> <seconds> [16|24|float] |\n"
               "                      sparse <path> <frames> <rate> |\n"
               "                      bare <path> | envelope <path>\n");
  return 2;
}
