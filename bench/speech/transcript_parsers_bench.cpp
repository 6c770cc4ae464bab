// The transcript's road into the result, through each candidate reader, on a pretty-printed
// transcript shaped like whisper-cli's "-ojf" output held in memory: each reads the whole
// document, checks it and produces its compact form into a sink that only counts.
//   nlohmann SAX       nlohmann/json's event reader (what the job decoder uses), events dropped
//   RapidJSON          Reader (iterative, numbers kept as text, UTF-8 checked) into a Writer
//   simdjson parse     the DOM parse of simdjson 3.0 (needs the whole document, padded, in memory)
//   simdjson minify    simdjson's minifier (no checking at all)
//   TranscriptFilter   the helper's own pass, fed in 256 KiB chunks as the result writer feeds it
// Built only when RapidJSON and simdjson are installed (rapidjson-dev, libsimdjson-dev).
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>
#include <rapidjson/reader.h>
#include <rapidjson/stream.h>
#include <rapidjson/writer.h>
#include <simdjson.h>

#include "speech/transcript_filter.h"

namespace {

// About `size` bytes of tab-indented transcript, segments of fourteen tokens each.
std::string transcript(size_t size) {
  const char* words[] = {"so", "this", "is", "what", "a", "long", "recording", "sounds", "like",
                         "when", "it", "is", "written", "down"};
  std::string out = "{\n\t\"systeminfo\": \"bench\",\n\t\"model\": {\n\t\t\"type\": \"base\"\n\t},\n"
                    "\t\"result\": {\n\t\t\"language\": \"en\"\n\t},\n\t\"transcription\": [";
  long t = 0;
  while (out.size() < size) {
    if (t > 0) out += ",";
    out += "\n\t\t{\n\t\t\t\"timestamps\": {\n\t\t\t\t\"from\": \"00:00:00,000\",\n\t\t\t\t\"to\": \"00:00:04,000\"\n"
           "\t\t\t},\n\t\t\t\"offsets\": {\n\t\t\t\t\"from\": " + std::to_string(t) + ",\n\t\t\t\t\"to\": " +
           std::to_string(t + 4000) + "\n\t\t\t},\n\t\t\t\"text\": \" so this is what a long recording sounds "
           "like when it is written down / 1/2\",\n\t\t\t\"tokens\": [";
    for (int i = 0; i < 14; ++i) {
      out += std::string(i ? "," : "") + "\n\t\t\t\t{\n\t\t\t\t\t\"text\": \" " + words[i] +
             "\",\n\t\t\t\t\t\"timestamps\": {\n\t\t\t\t\t\t\"from\": \"00:00:00,000\",\n\t\t\t\t\t\t\"to\": "
             "\"00:00:00,000\"\n\t\t\t\t\t},\n\t\t\t\t\t\"offsets\": {\n\t\t\t\t\t\t\"from\": " +
             std::to_string(t + 300 * i) + ",\n\t\t\t\t\t\t\"to\": " + std::to_string(t + 300 * i + 280) +
             "\n\t\t\t\t\t},\n\t\t\t\t\t\"id\": " + std::to_string(1000 + i) + ",\n\t\t\t\t\t\"p\": 0.987654,\n"
             "\t\t\t\t\t\"t_dtw\": " + std::to_string(t / 10 + 30 * i) + "\n\t\t\t\t}";
    }
    out += "\n\t\t\t]\n\t\t}";
    t += 4000;
  }
  return out + "\n\t]\n}\n";
}

const std::string& document() {
  static const std::string text = transcript(size_t{100} << 20);
  return text;
}

struct Counter {  // a RapidJSON output stream that only counts
  using Ch = char;
  void Put(char) { ++count; }
  void Flush() {}
  size_t count = 0;
};

void nlohmannSax(benchmark::State& state) {
  const std::string& text = document();
  struct Drop : nlohmann::json_sax<nlohmann::json> {
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }
  } drop;
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::sax_parse(text, &drop));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void rapidJson(benchmark::State& state) {
  const std::string& text = document();
  for (auto _ : state) {
    rapidjson::StringStream in(text.c_str());
    Counter counter;
    rapidjson::Writer<Counter> writer(counter);
    rapidjson::Reader reader;
    constexpr unsigned flags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag |
                               rapidjson::kParseValidateEncodingFlag;
    if (reader.Parse<flags>(in, writer).IsError()) state.SkipWithError("RapidJSON refused the transcript");
    benchmark::DoNotOptimize(counter.count);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void simdjsonParse(benchmark::State& state) {
  const simdjson::padded_string text(document());
  simdjson::dom::parser parser;
  for (auto _ : state) {
    auto element = parser.parse(text);
    if (element.error()) state.SkipWithError("simdjson refused the transcript");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void simdjsonMinify(benchmark::State& state) {
  const std::string& text = document();
  std::unique_ptr<char[]> out(new char[text.size() + simdjson::SIMDJSON_PADDING]);
  for (auto _ : state) {
    size_t length = 0;
    if (simdjson::minify(text.data(), text.size(), out.get(), length)) state.SkipWithError("minify failed");
    benchmark::DoNotOptimize(length);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void transcriptFilter(benchmark::State& state) {
  const std::string_view text = document();
  constexpr size_t CHUNK = size_t{1} << 18;
  for (auto _ : state) {
    TranscriptFilter filter;
    size_t count = 0;
    const auto sink = [&](std::string_view piece) { return count += piece.size(), true; };
    for (size_t at = 0; at < text.size(); at += CHUNK) filter.feed(text.substr(at, CHUNK), sink);
    if (!filter.finish()) state.SkipWithError("the filter refused the transcript");
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

BENCHMARK(nlohmannSax)->Unit(benchmark::kMillisecond);
BENCHMARK(rapidJson)->Unit(benchmark::kMillisecond);
BENCHMARK(simdjsonParse)->Unit(benchmark::kMillisecond);
BENCHMARK(simdjsonMinify)->Unit(benchmark::kMillisecond);
BENCHMARK(transcriptFilter)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
