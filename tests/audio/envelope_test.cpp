// The loudness envelope on audio files that the tests write with libsndfile.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>
#include <stdexcept>

#include <gtest/gtest.h>
#include <sndfile.h>

#include "audio/envelope.h"
#include "jobs/failure.h"
#include "jobs/program.h"
#include "support/support.h"

namespace {

constexpr int WAV16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int WAV24 = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
constexpr int WAVF = SF_FORMAT_WAV | SF_FORMAT_FLOAT;

sf_count_t writeFrames(SNDFILE* f, const float* x, sf_count_t n) { return sf_writef_float(f, x, n); }
sf_count_t writeFrames(SNDFILE* f, const short* x, sf_count_t n) { return sf_writef_short(f, x, n); }
sf_count_t writeFrames(SNDFILE* f, const int* x, sf_count_t n) { return sf_writef_int(f, x, n); }

// Writes interleaved samples; integers are stored as they are, floats scaled to the format.
template <typename Sample>
std::string writeAudio(const std::string& path, int format, int rate, int channels,
                       const std::vector<Sample>& samples) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) throw std::runtime_error(path + ": " + sf_strerror(nullptr));
  const auto frames = static_cast<sf_count_t>(samples.size()) / channels;
  const sf_count_t written = writeFrames(file, samples.data(), frames);
  sf_close(file);
  if (written != frames) throw std::runtime_error(path + ": short write");
  return path;
}

// The levels by their definition, over the whole file held at once.
std::vector<double> reference(const std::vector<float>& x, int channels, int rate) {
  const int64_t hop = std::max<int64_t>(1, std::llround(rate * HOP));
  const auto frames = static_cast<int64_t>(x.size()) / channels;
  std::vector<double> levels;
  for (int64_t s = 0; s < frames; s += hop) {
    const int64_t count = std::min(hop, frames - s);
    double sum = 0.0;
    for (int64_t f = s; f < s + count; ++f) {
      double m = 0.0;
      for (int c = 0; c < channels; ++c) m += static_cast<double>(x[size_t(f * channels + c)]);
      m /= channels;
      sum += m * m;
    }
    const double p = sum / static_cast<double>(count);
    const double v = p > 0 ? std::round(std::log10(p) * 10 * 10) / 10 : FLOOR;
    levels.push_back(v >= FLOOR ? v : FLOOR);
  }
  return levels;
}

// Noise whose loudness changes every few thousand frames, with stretches of exact silence.
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

std::vector<float> constant(size_t samples, float value) { return std::vector<float>(samples, value); }

std::string failureOf(const std::string& path) {
  try {
    envelope(path);
  } catch (const Failure& failure) {
    return failure.message;
  }
  return "no failure";
}

class Envelope : public ::testing::Test {
 protected:
  test::TempDir dir;
};

TEST_F(Envelope, LevelsOfPlainSignals) {
  EXPECT_EQ(envelope(writeAudio(dir / "silence.wav", WAV16, 48000, 1, constant(4800, 0))),
            std::vector<double>(10, FLOOR));
  EXPECT_EQ(envelope(writeAudio(dir / "one.wav", WAVF, 48000, 1, constant(4800, 1))),
            std::vector<double>(10, 0.0));
  EXPECT_EQ(envelope(writeAudio(dir / "half.wav", WAV16, 48000, 2, constant(9600, 0.5))),
            std::vector<double>(10, -6.0));

  std::vector<float> sine(44100), opposite(2 * 44100);
  for (size_t i = 0; i < sine.size(); ++i) {
    sine[i] = static_cast<float>(std::sin(2 * M_PI * 1000 * double(i) / 44100));
    opposite[2 * i] = 0.8f * sine[i];
    opposite[2 * i + 1] = -0.8f * sine[i];
  }
  EXPECT_EQ(envelope(writeAudio(dir / "sine.wav", WAVF, 44100, 1, sine)),
            std::vector<double>(100, -3.0));
  EXPECT_EQ(envelope(writeAudio(dir / "opposite.wav", WAV16, 44100, 2, opposite)),
            std::vector<double>(100, FLOOR));

  // Float files keep samples beyond full scale.
  EXPECT_EQ(envelope(writeAudio(dir / "loud.wav", WAVF, 48000, 1, constant(960, 2))),
            std::vector<double>(2, 6.0));
}

TEST_F(Envelope, HopLengthAndTheShortLastHop) {
  // 1000 frames at 44,100 Hz: two hops of 441 at -6.0, then 118 frames at full scale, averaged
  // over their own length.
  std::vector<float> x(1000, 0.5f);
  std::fill(x.begin() + 882, x.end(), 1.0f);
  EXPECT_EQ(envelope(writeAudio(dir / "a.wav", WAVF, 44100, 1, x)),
            (std::vector<double>{-6.0, -6.0, 0.0}));

  const auto count = [&](int rate, size_t frames) {
    return envelope(writeAudio(dir / "r.wav", WAV16, rate, 1, constant(frames, 0.25))).size();
  };
  EXPECT_EQ(count(22050, 442), 2u);  // H = 221: 220.5 rounds away from zero
  EXPECT_EQ(count(11025, 221), 3u);  // H = 110
  EXPECT_EQ(count(250, 3), 1u);      // H = 3 from 2.5, not 2 as halves to even would give
  EXPECT_EQ(count(1, 3), 3u);        // never below one frame
  EXPECT_EQ(count(44100, 0), 0u);
}

TEST_F(Envelope, RoundsHalvesAwayFromZeroThenFloors) {
  // At 100 Hz every frame is a hop of its own. These two samples average to a mean square whose
  // log10, times ten and times ten again, is exactly -278.5 (times a hundred at once, it is not).
  const float a = 0x1.4bcf74p-4f, b = -0x1.368aacp-31f;
  const auto tie = writeAudio(dir / "tie.wav", WAVF, 100, 2, std::vector<float>{a, b});
  EXPECT_EQ(envelope(tie), std::vector<double>{-27.9});

  const auto db = [](double level) { return static_cast<float>(std::pow(10.0, level / 20)); };
  const auto floor = writeAudio(dir / "floor.wav", WAVF, 100, 1,
                                std::vector<float>{db(-99.94), db(-99.96), db(-130), 0});
  EXPECT_EQ(envelope(floor), (std::vector<double>{-99.9, -100.0, FLOOR, FLOOR}));

  const auto odd = writeAudio(dir / "odd.wav", WAVF, 100, 1,
                              std::vector<float>{NAN, INFINITY, -INFINITY, 0.5f});
  EXPECT_EQ(envelope(odd), (std::vector<double>{FLOOR, FLOOR, FLOOR, -6.0}));
}

// Long files read block by block, with hops that cross block boundaries (also hops longer than
// a block, at very high rates), give exactly the levels of the whole-file arithmetic.
TEST_F(Envelope, StreamingEqualsTheWholeFileArithmetic) {
  struct Case { int channels, rate; };
  for (const Case c : {Case{1, 44100}, Case{2, 48000}, Case{3, 22050}, Case{6, 1000000},
                       Case{2, 2000000}}) {
    SCOPED_TRACE(std::to_string(c.channels) + " channels at " + std::to_string(c.rate));
    const std::vector<float> x = noise(size_t(c.channels) * 100003, unsigned(c.channels));
    const auto file = writeAudio(dir / "float.wav", WAVF, c.rate, c.channels, x);
    EXPECT_EQ(envelope(file), reference(x, c.channels, c.rate));

    // 16-bit and 24-bit PCM: each integer is one float sample scaled by 2^15 or 2^23.
    std::vector<short> s16(x.size());
    std::vector<int> s24(x.size());
    std::vector<float> x16(x.size()), x24(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
      s16[i] = static_cast<short>(std::clamp(std::lrint(x[i] * 32768), -32768L, 32767L));
      x16[i] = static_cast<float>(s16[i]) / 32768;
      const long v24 = std::clamp(std::lrint(x[i] * 8388608), -8388608L, 8388607L);
      s24[i] = static_cast<int>(v24 * 256);
      x24[i] = static_cast<float>(v24) / 8388608;
    }
    EXPECT_EQ(envelope(writeAudio(dir / "16.wav", WAV16, c.rate, c.channels, s16)),
              reference(x16, c.channels, c.rate));
    EXPECT_EQ(envelope(writeAudio(dir / "24.wav", WAV24, c.rate, c.channels, s24)),
              reference(x24, c.channels, c.rate));
    if (c.rate <= 655350) {  // FLAC's own limit
      EXPECT_EQ(envelope(writeAudio(dir / "16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, c.rate,
                                    c.channels, s16)),
                reference(x16, c.channels, c.rate));
    }
  }
}

TEST_F(Envelope, ReadsCompressedFormatsByContentNotName) {
  std::vector<float> sine(2 * 48000);
  for (size_t i = 0; i < sine.size(); ++i)
    sine[i] = 0.5f * static_cast<float>(std::sin(2 * M_PI * 440 * double(i / 2) / 48000));
  const auto mp3 = writeAudio(dir / "speech.bin", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III,
                              48000, 2, sine);
  const std::vector<double> levels = envelope(mp3);
  ASSERT_GE(levels.size(), 100u);
  ASSERT_LE(levels.size(), 106u);  // the decoder may keep some of the encoder's padding
  for (size_t i = 10; i < 90; ++i) EXPECT_NEAR(levels[i], -9.0, 0.3) << "hop " << i;

  EXPECT_EQ(envelope(writeAudio(dir / "speech", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 48000, 2,
                                sine)).size(),
            100u);
}

TEST_F(Envelope, FilesThatAreNotAudio) {
  const std::string missing = dir / "missing.wav";
  EXPECT_EQ(failureOf(missing), "Cannot read " + missing + ": No such file or directory");
  EXPECT_EQ(failureOf(dir.path), "Cannot read " + dir.path + ": Is a directory");

  test::writeFile(dir / "notes.au", "Not audio at all, though the name says so.\n");
  EXPECT_EQ(failureOf(dir / "notes.au"), "Cannot read " + dir / "notes.au" + ": Format not recognised.");
  test::writeFile(dir / "empty.wav", "");
  EXPECT_EQ(failureOf(dir / "empty.wav").rfind("Cannot read " + dir / "empty.wav" + ": ", 0), 0u);

  // A NUL cuts the path short in the C library: "x.wav" must not be what is read.
  writeAudio(dir / "x.wav", WAV16, 48000, 1, constant(480, 0.5));
  const std::string nul = dir / std::string("x.wav\0.txt", 10);
  EXPECT_EQ(failureOf(nul).rfind("Cannot read " + nul + ": ", 0), 0u);

  // Neither waits on standard input nor on a FIFO's writer.
  EXPECT_EQ(failureOf("-"), "Cannot read -: No such file or directory");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(failureOf(dir / "fifo"), "Cannot read " + dir / "fifo" + ": Not a regular file");
}

TEST_F(Envelope, TruncatedFiles) {
  const std::string wav = writeAudio(dir / "cut.wav", WAV16, 48000, 1, constant(48000, 0.5));
  const std::string flac =
      writeAudio(dir / "cut.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 1, noise(480000, 7));
  for (const std::string& path : {wav, flac})
    ::truncate(path.c_str(), static_cast<off_t>(std::filesystem::file_size(path) / 2));

  // A WAV cut in its data holds the frames before the cut; cut in its header, it is no audio.
  const std::vector<double> levels = envelope(wav);
  EXPECT_EQ(levels.size(), 50u);
  EXPECT_EQ(levels, std::vector<double>(levels.size(), -6.0));
  ::truncate(wav.c_str(), 20);
  EXPECT_EQ(failureOf(wav).rfind("Cannot read " + wav + ": ", 0), 0u);

  // A FLAC stream that breaks off is a read error, not a short envelope.
  try {
    envelope(flac);
    FAIL() << "no error";
  } catch (const Failure& failure) {
    FAIL() << "a Failure: " << failure.message;
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("Cannot read " + flac + ": ", 0), 0u) << error.what();
  }
}

}  // namespace
