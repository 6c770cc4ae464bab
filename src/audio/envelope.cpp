#include "audio/envelope.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "jobs/failure.h"
#include "platform/audio_file.h"

namespace {

// Samples per read: small enough to stay in cache and keep memory flat whatever the file's
// length, large enough that the reader's per-call cost disappears.
constexpr size_t BLOCK_SAMPLES = size_t{1} << 15;

// Levels reserved up front on the word of a header, at most (about 2.9 hours at 10 ms); longer
// files grow the array as they go.
constexpr int64_t MAX_RESERVED = int64_t{1} << 20;

double level(double sumOfSquares, int64_t count) {
  const double power = sumOfSquares / static_cast<double>(count);
  // Exact silence, a NaN sample and an infinite one all give the floor: only a finite power has
  // a level that the JSON result can carry.
  if (!(power > 0.0) || !std::isfinite(power)) return FLOOR;
  const double db = std::round(std::log10(power) * 10.0 * 10.0) / 10.0;
  return db >= FLOOR ? db : FLOOR;
}

// A frame kernel turns one interleaved frame into the square of its channel average and a hop's
// sum of those squares into a double.
//
// Float frames: every sample widened to double and added in channel order, divided by the
// channel count, squared, and summed in frame order. Starting from the first sample rather than
// from 0.0 changes at most the sign of a zero, which the square erases. Dividing by a power of
// two is exactly a multiplication by its reciprocal; other counts divide.
template <int Channels>
struct FloatFrames {
  using Sample = float;
  using Sum = double;
  static constexpr size_t channels = Channels;
  double square(const float* frame) const {
    double sum = static_cast<double>(frame[0]);
    for (int c = 1; c < Channels; ++c) sum += static_cast<double>(frame[c]);
    const double mean = sum * (1.0 / Channels);
    return mean * mean;
  }
  double total(double sum) const { return sum; }
};

struct AnyFloatFrames {
  using Sample = float;
  using Sum = double;
  double square(const float* frame) const {
    double sum = static_cast<double>(frame[0]);
    for (size_t c = 1; c < channels; ++c) sum += static_cast<double>(frame[c]);
    const double mean = sum / divisor;
    return mean * mean;
  }
  double total(double sum) const { return sum; }
  size_t channels;
  double divisor;
};

// 16-bit frames, one or two channels, read as the stored integers. The float arithmetic above
// never rounds for them: each float sample is s / 2^15, so with t the integer channel sum the
// channel average is t / 2^(14 + C) and its square t² / 2^(28 + 2C), no more than 1; every
// running sum of a hop is then a whole number of steps of 2^-(28 + 2C), at most 2^(28 + 2C) ×
// hop of them, which a double holds exactly while the hop is shorter than 2^21 frames (MAX_HOP
// keeps it to half that). The integer sum scaled once is thus the same double, bit for bit, as the frame-by-frame float sum, at a fraction of
// the cost.
template <int Channels>
struct Pcm16Frames {
  using Sample = int16_t;
  using Sum = int64_t;
  static constexpr size_t channels = Channels;
  static constexpr int64_t MAX_HOP = int64_t{1} << 20;
  int64_t square(const int16_t* frame) const {
    int64_t sum = frame[0];
    if constexpr (Channels == 2) sum += frame[1];
    return sum * sum;
  }
  double total(int64_t sum) const {
    return static_cast<double>(sum) * (Channels == 1 ? 0x1p-30 : 0x1p-32);
  }
};

// Folds blocks of interleaved frames into levels. A hop may start in one block and end in a
// later one: its sum carries over and keeps adding frame by frame in order, so the levels are
// exactly those of one pass over the whole file.
template <typename Frames>
class Walker {
 public:
  using Sample = typename Frames::Sample;
  using Sum = typename Frames::Sum;

  Walker(Frames frames, int64_t hop, std::vector<double>& levels)
      : frames_(frames), hop_(hop), levels_(levels) {}

  void add(const Sample* data, int64_t count) {
    const size_t stride = frames_.channels;
    int64_t f = 0;
    while (f < count) {
      if (done_ == 0 && count - f >= 4 * hop_) {
        fourHops(data + static_cast<size_t>(f) * stride);
        f += 4 * hop_;
        continue;
      }
      const int64_t take = std::min(hop_ - done_, count - f);
      const Sample* frame = data + static_cast<size_t>(f) * stride;
      Sum sum = sum_;
      for (int64_t i = 0; i < take; ++i, frame += stride) sum += frames_.square(frame);
      sum_ = sum;
      done_ += take;
      f += take;
      if (done_ == hop_) flush();
    }
  }

  // The last hop may be shorter than the others; it is averaged over its own frames.
  void finish() {
    if (done_ > 0) flush();
  }

 private:
  // Four whole hops side by side: each keeps its own sum in frame order, so the result is that
  // of one hop after another, but the four additions do not wait on each other.
  void fourHops(const Sample* data) {
    const size_t stride = frames_.channels;
    const size_t step = static_cast<size_t>(hop_) * stride;
    const Sample* a = data;
    const Sample* b = a + step;
    const Sample* c = b + step;
    const Sample* d = c + step;
    Sum sa{}, sb{}, sc{}, sd{};
    for (int64_t i = 0; i < hop_; ++i) {
      sa += frames_.square(a);
      sb += frames_.square(b);
      sc += frames_.square(c);
      sd += frames_.square(d);
      a += stride;
      b += stride;
      c += stride;
      d += stride;
    }
    for (Sum s : {sa, sb, sc, sd}) levels_.push_back(level(frames_.total(s), hop_));
  }

  void flush() {
    levels_.push_back(level(frames_.total(sum_), done_));
    sum_ = Sum{};
    done_ = 0;
  }

  const Frames frames_;
  const int64_t hop_;
  std::vector<double>& levels_;
  Sum sum_{};         // the hop in progress
  int64_t done_ = 0;  // its frames so far
};

template <typename Frames>
void walk(audio_file::Reader& reader, Frames frames, int64_t hop, std::vector<double>& levels) {
  const size_t channels = static_cast<size_t>(reader.channels());
  const size_t blockFrames = std::max<size_t>(1, BLOCK_SAMPLES / channels);
  std::vector<typename Frames::Sample> block(blockFrames * channels);
  Walker<Frames> walker(frames, hop, levels);
  while (const size_t got = reader.read(block.data(), blockFrames))
    walker.add(block.data(), static_cast<int64_t>(got));
  walker.finish();
}

}  // namespace

std::vector<double> envelope(const std::string& path) {
  std::string cause;
  auto reader = audio_file::Reader::open(path, cause);
  if (!reader) throw Failure("Cannot read " + path + ": " + cause);
  const int channels = reader->channels();
  if (channels < 1) throw Failure("No audio in " + path);

  // One hop is a whole number of frames at the file's own rate, the same for every hop.
  const int64_t hop =
      std::max<int64_t>(1, std::llround(static_cast<double>(reader->sampleRate()) * HOP));

  std::vector<double> levels;
  if (const auto frames = reader->frames())
    levels.reserve(static_cast<size_t>(std::min(*frames / hop + 1, MAX_RESERVED)));

  const bool pcm16 = reader->pcm16() && hop <= Pcm16Frames<1>::MAX_HOP;
  if (pcm16 && channels == 1)
    walk(*reader, Pcm16Frames<1>{}, hop, levels);
  else if (pcm16 && channels == 2)
    walk(*reader, Pcm16Frames<2>{}, hop, levels);
  else if (channels == 1)
    walk(*reader, FloatFrames<1>{}, hop, levels);
  else if (channels == 2)
    walk(*reader, FloatFrames<2>{}, hop, levels);
  else
    walk(*reader, AnyFloatFrames{size_t(channels), double(channels)}, hop, levels);
  return levels;
}
