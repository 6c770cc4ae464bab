// The per-string cost of measuring next to a bare HarfBuzz shaping loop over the same strings in
// the same face, and the job files that run-measure-bench times end to end.
//   measure-bench [Google Benchmark options]   both loops over 1,000 caption-length strings,
//                                              and a job of no strings (finding the font alone)
//   measure-bench job <job path> <out path>     writes a "measure" job of those strings
#include <benchmark/benchmark.h>
#include <hb.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "text/measure.h"

namespace {

const char* const FONT_NAME = "Liberation Sans";
const char* const FONT_FILE = "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf";
constexpr double SIZE = 48;

// Subtitle-like lines of 30 to 80 characters, the same on every run.
std::vector<std::string> captions() {
  static const char* const words[] = {
      "the", "and", "you", "That's", "what", "I", "told", "her,", "yesterday", "Tomorrow", "we'll", "travel",
      "AVENUE", "coffee", "office", "really?", "Wait—", "no.", "\"Look\"", "over", "there!", "(laughs)", "42",
      "minutes", "Captain", "Waverly", "to", "of", "it's", "fine.", "Anyway,", "joyful", "quietly", "Yes."};
  std::mt19937 random(7);
  std::uniform_int_distribution<size_t> pick(0, std::size(words) - 1);
  std::uniform_int_distribution<size_t> length(30, 80);
  std::vector<std::string> lines;
  for (int i = 0; i < 1000; ++i) {
    std::string line;
    for (const size_t target = length(random); line.size() < target;) {
      if (!line.empty()) line += ' ';
      line += words[pick(random)];
    }
    lines.push_back(line);
  }
  return lines;
}

// A bare shaping loop: what any HarfBuzz user pays for these strings in this face.
class BareShaper {
 public:
  BareShaper()
      : blob_(hb_blob_create_from_file(FONT_FILE)),
        face_(hb_face_create(blob_, 0)),
        font_(hb_font_create(face_)),
        buffer_(hb_buffer_create()),
        upem_(hb_face_get_upem(face_)) {}
  ~BareShaper() {
    hb_buffer_destroy(buffer_);
    hb_font_destroy(font_);
    hb_face_destroy(face_);
    hb_blob_destroy(blob_);
  }

  double width(const std::string& line) {
    hb_buffer_clear_contents(buffer_);
    hb_buffer_add_utf8(buffer_, line.data(), int(line.size()), 0, -1);
    hb_buffer_guess_segment_properties(buffer_);
    hb_shape(font_, buffer_, nullptr, 0);
    unsigned count = 0;
    const hb_glyph_position_t* positions = hb_buffer_get_glyph_positions(buffer_, &count);
    double total = 0;
    for (unsigned i = 0; i < count; ++i) total += positions[i].x_advance;
    return total * SIZE / upem_;
  }

 private:
  hb_blob_t* blob_;
  hb_face_t* face_;
  hb_font_t* font_;
  hb_buffer_t* buffer_;
  double upem_;
};

double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Both loops take turns inside each iteration, so that a busy machine slows them alike; the
// counters are microseconds per string, wall and CPU, and measuring's ratio to the bare loop.
Job measureJob(std::vector<std::string> strings) {
  Job job;
  job.font = FONT_NAME;
  job.size = SIZE;
  job.strings = std::move(strings);
  return job;
}

// Both loops take turns inside each iteration, so that a busy machine slows them alike; the
// counters are microseconds per string, wall and CPU, and measuring's ratio to the bare loop.
void perString(benchmark::State& state) {
  const auto lines = captions();
  BareShaper bare;
  const Job job = measureJob(lines);
  double wall[2] = {0, 0};
  double cpu[2] = {0, 0};
  for (auto _ : state) {
    for (int turn = 0; turn < 2; ++turn) {
      const double w = wallSeconds();
      const double c = threadSeconds();
      if (turn == 0) {
        for (const auto& line : lines) benchmark::DoNotOptimize(bare.width(line));
      } else {
        benchmark::DoNotOptimize(measure(job));
      }
      cpu[turn] += threadSeconds() - c;
      wall[turn] += wallSeconds() - w;
    }
  }
  const double strings = double(state.iterations()) * double(lines.size()) / 1e6;
  state.counters["bare_wall_us"] = wall[0] / strings;
  state.counters["measure_wall_us"] = wall[1] / strings;
  state.counters["bare_cpu_us"] = cpu[0] / strings;
  state.counters["measure_cpu_us"] = cpu[1] / strings;
  state.counters["ratio_wall"] = wall[1] / wall[0];
  state.counters["ratio_cpu"] = cpu[1] / cpu[0];
}

// Finding the font: the part of a job that does not depend on its strings. After the first job
// the installed fonts are only checked for changes.
void lookup(benchmark::State& state) {
  const Job job = measureJob({});
  for (auto _ : state) benchmark::DoNotOptimize(measure(job));
}

BENCHMARK(perString)->Unit(benchmark::kMillisecond);
BENCHMARK(lookup)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "job") == 0) {
    const nlohmann::json job = {{"kind", "measure"}, {"out", argv[3]}, {"font", FONT_NAME},
                                {"size", SIZE}, {"strings", captions()}};
    std::ofstream(argv[2]) << job.dump();
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
