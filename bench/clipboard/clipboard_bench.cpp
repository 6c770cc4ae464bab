// The clipboard workers against a private store in a fresh runtime folder, with a caption clip of
// about 50 kB, the size of a few hundred captions.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "clipboard/clipboard.h"

namespace {

struct Setup {
  Setup() {
    folder = std::filesystem::temp_directory_path() / ("clipboard-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    std::string xml = "<?xml version=\"1.0\"?>\n<clip>";
    for (int i = 0; i < 2000; ++i) xml += "<caption>Hello</caption>";
    xml += "</clip>\n";
    std::ofstream(folder / "clip.xml") << xml;
    job.out = folder / "out.json";
    job.xmlPath = folder / "clip.xml";
    job.id = "clip-1";
  }
  ~Setup() { std::filesystem::remove_all(folder); }
  std::filesystem::path folder;
  Job job;
};

Setup& setup() {
  static Setup s;
  return s;
}

void BM_ClipboardWrite(benchmark::State& state) {
  for (auto _ : state) clipboardWrite(setup().job);
}
BENCHMARK(BM_ClipboardWrite);

void BM_ClipboardRead(benchmark::State& state) {
  clipboardWrite(setup().job);
  for (auto _ : state) benchmark::DoNotOptimize(clipboardRead());
}
BENCHMARK(BM_ClipboardRead);

}  // namespace

BENCHMARK_MAIN();
