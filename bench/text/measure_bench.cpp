// The per-string cost of measuring next to a bare HarfBuzz shaping loop over the same strings in
// the same face, and the job file that run-measure-bench times end to end.
//   measure-bench [Google Benchmark options]   both loops over 1,000 caption-length strings
//   measure-bench job <job path> <out path>     writes a "measure" job of those strings
#include <benchmark/benchmark.h>
#include <hb.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/fonts.h"

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

void bareShaping(benchmark::State& state) {
  const auto lines = captions();
  hb_blob_t* blob = hb_blob_create_from_file(FONT_FILE);
  hb_face_t* face = hb_face_create(blob, 0);
  hb_font_t* font = hb_font_create(face);
  const double upem = hb_face_get_upem(face);
  hb_buffer_t* buffer = hb_buffer_create();
  for (auto _ : state) {
    for (const auto& line : lines) {
      hb_buffer_clear_contents(buffer);
      hb_buffer_add_utf8(buffer, line.data(), int(line.size()), 0, -1);
      hb_buffer_guess_segment_properties(buffer);
      hb_shape(font, buffer, nullptr, 0);
      unsigned count = 0;
      const hb_glyph_position_t* positions = hb_buffer_get_glyph_positions(buffer, &count);
      double total = 0;
      for (unsigned i = 0; i < count; ++i) total += positions[i].x_advance;
      benchmark::DoNotOptimize(total * SIZE / upem);
    }
  }
  state.SetItemsProcessed(state.iterations() * int64_t(lines.size()));
  hb_buffer_destroy(buffer);
  hb_font_destroy(font);
  hb_face_destroy(face);
  hb_blob_destroy(blob);
}

void measuring(benchmark::State& state) {
  const auto lines = captions();
  auto font = fonts::Font::named(FONT_NAME, SIZE);
  if (!font) {
    state.SkipWithError("Liberation Sans is not installed");
    return;
  }
  for (auto _ : state) {
    for (const auto& line : lines) benchmark::DoNotOptimize(font->width(line));
  }
  state.SetItemsProcessed(state.iterations() * int64_t(lines.size()));
}

// Finding the font: the part of a job that does not depend on its strings.
void lookup(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(fonts::Font::named(FONT_NAME, SIZE));
}

BENCHMARK(bareShaping)->Unit(benchmark::kMillisecond);
BENCHMARK(measuring)->Unit(benchmark::kMillisecond);
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
