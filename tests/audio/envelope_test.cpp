// The loudness envelope on audio files that the tests write with libsndfile.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>

#include <gtest/gtest.h>
#include <sndfile.h>

#include "audio/envelope.h"
#include "speech/support.h"

namespace {

constexpr int WAV16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16, WAV24 = SF_FORMAT_WAV | SF_FORMAT_PCM_24,
              WAVF = SF_FORMAT_WAV | SF_FORMAT_FLOAT, FLAC16 = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;

// Writes interleaved samples: scaled to the format's full scale, or when `scaled` is false, as the
// integers that an integer format stores.
std::string writeAudio(const std::string& path, int format, int rate, int channels,
                       const std::vector<float>& x, bool scaled = true) {
  SF_INFO info{0, rate, channels, format, 0, 0};
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  EXPECT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
  sf_command(file, SFC_SET_NORM_FLOAT, nullptr, scaled ? SF_TRUE : SF_FALSE);
  const sf_count_t frames = sf_count_t(x.size()) / channels;
  EXPECT_EQ(sf_writef_float(file, x.data(), frames), frames) << path;
  sf_close(file);
  return path;
}

// The levels by their definition, over the whole file held at once.
std::vector<double> reference(const std::vector<float>& x, int channels, int rate) {
  const size_t hop = std::max<size_t>(1, std::llround(rate * HOP)), frames = x.size() / channels;
  std::vector<double> levels;
  for (size_t start = 0; start < frames; start += hop) {
    double sum = 0.0;
    for (size_t f = start; f < std::min(start + hop, frames); ++f) {
      double mean = 0.0;
      for (int c = 0; c < channels; ++c) mean += double(x[f * channels + c]);
      sum += (mean / channels) * (mean / channels);
    }
    const double p = sum / double(std::min(hop, frames - start));
    levels.push_back(p > 0 ? std::max(FLOOR, std::round(std::log10(p) * 10 * 10) / 10) : FLOOR);
  }
  return levels;
}

// Noise whose loudness changes every few thousand samples, with stretches of exact silence.
std::vector<float> noise(size_t samples, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> x(samples);
  float gain = 1.0f;
  for (size_t i = 0; i < samples; ++i) {
    if (i % 3001 == 0) gain = std::pow(10.0f, -4.0f * std::abs(uniform(random)));
    x[i] = gain < 0.001f ? 0.0f : gain * uniform(random);
  }
  return x;
}

struct Envelope : ::testing::Test { test::TempDir dir; };

TEST_F(Envelope, LevelsOfPlainSignals) {
  // The channel average, the short last hop and silence are compared with the whole-file
  // arithmetic below; these are the levels known in advance.
  const auto n = [](size_t count, double level) { return std::vector<double>(count, level); };
  const auto db = [](double level) { return float(std::pow(10.0, level / 20)); };
  struct Case { int format, rate, channels; std::vector<float> x; std::vector<double> levels; };
  const Case cases[] = {
      {WAVF, 200, 1, {1, 0, 1, 0}, n(2, -3.0)},  // two frames a hop: the mean square, not the peak
      {WAVF, 48000, 1, std::vector<float>(960, 2), n(2, 6.0)},  // float files go beyond full scale
      {WAV16, 11025, 1, std::vector<float>(221, 0.25), n(3, -12.0)},  // 110.25 frames a hop: 110
      // Never below one frame a hop. (A hop of 2.5 frames rounded half to even is the 220.5 frames
      // at 22050 Hz of the streaming layouts.)
      {WAV16, 1, 1, std::vector<float>(3, 0.25), n(3, -12.0)},
      {WAV16, 44100, 1, {}, {}},
      // At 100 Hz every frame is a hop of its own. These two samples average to a mean square
      // whose log10, times ten and times ten again, is exactly -278.5 (times a hundred at once,
      // it is not).
      {WAVF, 100, 2, {0x1.4bcf74p-4f, -0x1.368aacp-31f}, {-27.9}},
      {WAVF, 100, 1, {db(-99.94), db(-99.96), db(-130), 0}, {-99.9, -100.0, FLOOR, FLOOR}},
      {WAVF, 100, 1, {NAN, INFINITY, -INFINITY, 0.5f}, {FLOOR, FLOOR, FLOOR, -6.0}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(envelope(writeAudio(dir / "a.wav", c.format, c.rate, c.channels, c.x)), c.levels)
        << &c - cases;
}

// Long files read block by block, with hops that cross block boundaries (also hops longer than
// a block, at very high rates), give exactly the levels of the whole-file arithmetic; integer
// PCM is scaled by 2^15 or 2^23.
TEST_F(Envelope, StreamingEqualsTheWholeFileArithmetic) {
  const std::pair<int, int> layouts[] = {
      {1, 44100}, {2, 48000}, {3, 22050}, {6, 1000000}, {2, 2000000}};
  for (const auto& [channels, rate] : layouts) {
    SCOPED_TRACE(std::to_string(channels) + " channels at " + std::to_string(rate));
    const std::vector<float> x = noise(size_t(channels) * 100003, unsigned(channels));
    EXPECT_EQ(envelope(writeAudio(dir / "float.wav", WAVF, rate, channels, x)),
              reference(x, channels, rate));
    // 16-bit PCM is summed as the stored integers; 24-bit comes through the float path.
    for (const auto& [format, full] : {std::pair{WAV16, 0x1p15}, {WAV24, 0x1p23}}) {
      std::vector<float> stored(x.size()), read(x.size());
      for (size_t i = 0; i < x.size(); ++i) {
        stored[i] = float(std::clamp(std::nearbyint(x[i] * full), -full, full - 1));
        read[i] = float(stored[i] / full);
      }
      EXPECT_EQ(envelope(writeAudio(dir / "pcm", format, rate, channels, stored, false)),
                reference(read, channels, rate))
          << format;
    }
  }
}

TEST_F(Envelope, FilesThatAreNotAudioOrBreakOff) {
  test::writeFile(dir / "notes.au", "Not audio at all, though the name says so.\n");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const std::string wav = writeAudio(dir / "cut.wav", WAV16, 48000, 1, std::vector<float>(48000, 0.5));
  const std::string flac = writeAudio(dir / "cut.flac", FLAC16, 48000, 1, noise(480000, 7));
  for (const std::string& path : {wav, flac})
    ::truncate(path.c_str(), off_t(std::filesystem::file_size(path) / 2));

  // A WAV cut in its data holds the frames before the cut.
  EXPECT_EQ(envelope(wav), std::vector<double>(50, -6.0));
  // A NUL would cut the path short in the C library, and "x.wav" be what is read. Neither
  // standard input ("-") nor a FIFO's writer is waited on. (A missing file fails as "-" does; a
  // folder's "Is a directory" is seen through the helper in Run.ChecksTheJobThenFindsWhisperCli.)
  const std::pair<std::string, std::string> unreadable[] = {
      {dir / "notes.au", "Format not recognised."},
      {dir / std::string("x.wav\0.txt", 10), "The path holds a NUL character"},
      {"-", "No such file or directory"},
      {dir / "fifo", "Not a regular file"},
  };
  for (const auto& [path, cause] : unreadable)
    EXPECT_EQ(speech::thrownBy([&] { envelope(path); }), "Cannot read " + path + ": " + cause);

  // A FLAC stream that breaks off is a read error, not a short envelope.
  const std::string broken = speech::thrownBy([&] { envelope(flac); });
  EXPECT_EQ(broken.rfind("error: Cannot read " + flac + ": ", 0), 0u) << broken;
}

}  // namespace
