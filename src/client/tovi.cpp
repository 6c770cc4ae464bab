// tovi: transcripts, captions whose lines fit a width in a real font, and loudness pictures, from
// the command line. A client of ToviHelper: every transcription and every measurement is a job
// file that the helper beside this program runs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio/envelope.h"
#include "client/caption_files.h"
#include "client/cues.h"
#include "client/font_names.h"
#include "client/helper.h"
#include "client/model.h"
#include "client/output.h"
#include "client/progress_bar.h"
#include "client/svg.h"
#include "jobs/failure.h"
#include "platform/files.h"
#include "jobs/utf8.h"
#include "platform/files.h"

using nlohmann::json;

namespace {

constexpr const char* USAGE =
    "usage: tovi transcribe AUDIO --model PATH [--model-url URL --model-sha HEX --model-size BYTES]\n"
    "                         [--lang L] [--prompt TEXT] [--dtw PRESET|none] [-o RESULT.json]\n"
    "       tovi captions (AUDIO... | RESULT.json) --font NAME --size PT --width PT [--lines N]\n"
    "                         [--format srt|vtt] [-o FILE] [--max-cps N] [--min-duration S]\n"
    "                         [--max-duration S] [--gap S] [--pause S] [--fps RATE] [transcription options]\n"
    "       tovi envelope (AUDIO | RESULT.json) [-o FILE.svg]\n"
    "       tovi --help | --version\n"
    "See tovi(1).\n";

// What the user asked for: the command, the other words, the options by name.
struct Command {
  std::string name;
  std::vector<std::string> inputs;
  std::map<std::string, std::string> options;
  bool help = false;

  std::optional<std::string> get(const std::string& key) const {
    auto it = options.find(key);
    return it == options.end() ? std::nullopt : std::optional(it->second);
  }
};

struct Usage : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const std::vector<std::string> OPTIONS = {
    "--model", "--model-url", "--model-sha", "--model-size", "--lang", "--prompt", "--dtw", "-o", "--font", "--size",
    "--width", "--lines", "--format", "--max-cps", "--min-duration", "--max-duration", "--gap", "--pause", "--fps"};

Command parse(const std::vector<std::string>& args) {
  Command command;
  if (args.empty()) throw Usage("a command is needed");
  command.name = args[0];
  bool optionsEnded = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      command.inputs.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    if (a == "--help" || a == "-h") {
      command.help = true;
      continue;
    }
    std::string key = a, value;
    const size_t equals = a.find('=');
    bool inline_ = a.compare(0, 2, "--") == 0 && equals != std::string::npos;
    if (inline_) {
      key = a.substr(0, equals);
      value = a.substr(equals + 1);
    }
    if (std::find(OPTIONS.begin(), OPTIONS.end(), key) == OPTIONS.end()) throw Usage("unknown option " + key);
    if (!inline_) {
      if (i + 1 >= args.size()) throw Usage(key + " needs a value");
      value = args[++i];
    }
    command.options[key] = value;
  }
  return command;
}

double positiveNumber(const Command& command, const std::string& key, std::optional<double> otherwise,
                      bool zeroAllowed = false) {
  auto text = command.get(key);
  if (!text) {
    if (!otherwise) throw Usage(command.name + " needs " + key);
    return *otherwise;
  }
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text->c_str(), &end);
  if (text->empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value) || value < 0 ||
      (value == 0 && !zeroAllowed))
    throw Usage(key + " needs a positive number, not \"" + *text + "\"");
  return value;
}

std::string lowerCase(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// True when the file name ends in `extension` (lower case, with its dot), in any case: "A.JSON".
bool hasExtension(const std::string& name, const std::string& extension) {
  return lowerCase(name).ends_with(extension);
}

bool isOk(const json& result) {
  const auto ok = result.find("ok");
  return ok != result.end() && *ok == true;
}

// A helper result that says "ok": false becomes the helper's own sentence.
json ensureOk(json result) {
  if (!isOk(result))
    throw Failure(result.contains("error") && result["error"].is_string() ? result["error"].get<std::string>()
                                                                          : "The helper failed without a reason");
  return result;
}

// The DTW preset that --dtw asks for ("" for none), if it does.
std::optional<std::string> askedDtw(const Command& command) {
  auto asked = command.get("--dtw");
  if (!asked || *asked == "none") return asked ? std::optional<std::string>("") : std::nullopt;
  const auto& presets = dtwPresets();
  if (std::find(presets.begin(), presets.end(), *asked) != presets.end()) return asked;
  std::string names;
  for (const auto& preset : presets) names += preset + ", ";
  throw Usage("--dtw is one of " + names + "or none");
}

// The DTW preset for the job: the one asked for, else the one the model's shape has. A model
// still to be downloaded is judged by its name (whisper.cpp's names for its files) and, when that
// turns out wrong, judged again once it is here (`judgeAgain`).
std::string dtwFor(const Command& command, const std::string& model, bool& judgeAgain) {
  judgeAgain = false;
  if (auto asked = askedDtw(command)) return *asked;
  if (auto preset = dtwPresetOf(model)) return *preset;
  // A file that is not a model is left to whisper-cli's own message.
  if (files::exists(model) || !command.get("--model-url")) return "";
  judgeAgain = true;
  const std::string named = dtwPresetNamed(model);
  return named.empty() ? dtwPresetNamed(*command.get("--model-url")) : named;
}

// `shownName`: the input that the progress line names, when there are several.
json transcribe(const Command& command, const std::string& audio, const std::string& shownName = "") {
  json job{{"kind", "transcribe"}, {"wav", audio}};
  auto model = command.get("--model");
  if (!model) throw Usage(command.name + " needs --model PATH for audio");
  job["model"] = *model;
  if (auto v = command.get("--model-url")) job["modelURL"] = *v;
  if (auto v = command.get("--model-sha")) job["modelSHA"] = *v;
  if (auto v = command.get("--model-size")) {
    char* end = nullptr;
    errno = 0;
    const long long size = std::strtoll(v->c_str(), &end, 10);
    if (v->empty() || *end != '\0' || errno == ERANGE || size < 0)
      throw Usage("--model-size needs a number of bytes, not \"" + *v + "\"");
    job["modelSize"] = size;
  }
  if (auto v = command.get("--lang")) job["lang"] = *v;
  if (auto v = command.get("--prompt")) job["prompt"] = *v;
  bool judgeAgain = false;
  const std::string dtw = dtwFor(command, *model, judgeAgain);
  job["dtw"] = dtw;

  ProgressBar bar(shownName);
  const bool downloading = !files::exists(*model) && command.get("--model-url");
  bar.show(downloading ? "Downloading the model" : "Loading the model", -1);
  std::function<void(const Progress&)> follow;
  if (bar.shown()) {
    // Asked once a run: the answer starts whisper-cli, and it is the same for every input.
    static const std::string runsOn = transcriptionDevice();
    // The helper starts again from 0 on the CPU alone when a run on the GPU fails.
    follow = [&bar, device = runsOn, last = int64_t{0}](const Progress& p) mutable {
      if (!p.download && p.percent < last) device = "on the CPU";
      if (!p.download) last = p.percent;
      bar.show(p.download ? "Downloading the model" : "Transcribing", p.percent, p.download ? "" : device);
    };
  }
  json result = runJob(job, follow);
  if (judgeAgain && !isOk(result)) {
    // The name promised another shape than the downloaded file has (a preset that does not fit
    // makes whisper-cli crash): once more, with the file's own.
    const auto preset = dtwPresetOf(*model);
    if (preset && *preset != dtw) {
      job["dtw"] = *preset;
      bar.show("Loading the model", -1);
      result = runJob(job, follow);
    }
  }
  return ensureOk(result);
}

// A helper result read from a file; whisper-cli's own JSON is taken as the "whisper" of one. For
// captions (`lean`), the envelope's levels are only counted (into "env"."levels") and the keys that
// captions do not read are skipped: most of an hour's result is those, and building them would
// take most of the time.
json readResult(const std::string& path, bool lean = false) {
  auto bytes = files::read(path);
  if (!bytes) throw std::runtime_error("Cannot read " + path);
  json value;
  if (lean) {
    size_t levels = 0;
    bool levelsNext = false;
    int levelsDepth = -1;
    value = json::parse(*bytes, [&](int depth, json::parse_event_t event, json& parsed) {
      switch (event) {
        case json::parse_event_t::key:
          levelsNext = parsed == "db";
          return !(parsed == "timestamps" || parsed == "p" || parsed == "id");
        case json::parse_event_t::array_start:
          if (levelsNext) levelsDepth = depth;
          levelsNext = false;
          return true;
        case json::parse_event_t::array_end:
          if (depth == levelsDepth) levelsDepth = -1;
          return true;
        case json::parse_event_t::value:
          if (levelsDepth >= 0 && depth == levelsDepth + 1) return ++levels, false;
          return true;
        default:
          return true;
      }
    }, false);
    if (value.is_object() && value.contains("env") && value["env"].is_object()) value["env"]["levels"] = levels;
  }
  // whisper-cli's own output may hold raw bytes that are not UTF-8 inside its strings.
  if (value.is_discarded() || value.is_null()) value = json::parse(repairUtf8(*bytes), nullptr, false);
  if (value.is_object() && value.contains("transcription")) return json{{"ok", true}, {"whisper", value}};
  if (!value.is_object() || !value.contains("ok") || !value["ok"].is_boolean())
    throw std::runtime_error(path + " is not a transcription result");
  return ensureOk(value);
}

// The transcription result of an input: read from a file, or made by transcribing the audio.
json resultFor(const Command& command, const std::string& input, const std::string& shownName) {
  if (!hasExtension(input, ".json")) return transcribe(command, input, shownName);
  json result = readResult(input, true);
  if (!result.contains("whisper") || !result["whisper"].is_object())
    throw Failure(input + " holds no transcript (it is not the result of a transcription)");
  return result;
}

// The seconds one level of an envelope stands for, and with `levels` of them, the envelope's
// length.
double hopOf(const json& env, const std::string& input, double levels) {
  const double hop = !env.contains("hop") ? HOP : env["hop"].is_number() ? env["hop"].get<double>() : NAN;
  if (!(hop > 0) || !std::isfinite(hop * levels))
    throw Failure(input + " holds a loudness envelope whose \"hop\" is not a usable number of seconds");
  return hop;
}

// The length of the audio: the envelope's. whisper-cli's own JSON does not tell it (its last
// segment may end with the last word): infinity, no end.
double audioLength(const json& result, const std::string& input) {
  if (result.contains("env") && result["env"].is_object()) {
    const json& env = result["env"];
    if (env.contains("levels") && env["levels"].is_number_unsigned()) {
      const double levels = env["levels"].get<double>();
      return hopOf(env, input, levels) * levels;
    }
    if (env.contains("db") && env["db"].is_array()) {
      const auto levels = static_cast<double>(env["db"].size());
      return hopOf(env, input, levels) * levels;
    }
  }
  return INFINITY;
}

int transcribeCommand(const Command& command) {
  if (command.inputs.size() != 1) throw Usage("transcribe needs one AUDIO file");
  if (auto out = command.get("-o")) checkWritable(*out);
  const json result = transcribe(command, command.inputs[0]);
  if (auto out = command.get("-o")) save(*out, result.dump() + "\n");
  std::string text;
  const json& whisper = result["whisper"];
  if (whisper.is_object() && whisper.contains("transcription") && whisper["transcription"].is_array())
    for (const auto& segment : whisper["transcription"])
      if (segment.is_object() && segment.contains("text") && segment["text"].is_string()) {
        std::string line = segment["text"].get<std::string>();
        line.erase(0, line.find_first_not_of(' '));
        text += line + "\n";
      }
  save("-", text);
  return 0;
}

int captionsCommand(const Command& command) {
  if (command.inputs.empty()) throw Usage("captions needs AUDIO files or a RESULT.json");
  CaptionRules rules;
  auto font = command.get("--font");
  if (!font) throw Usage("captions needs --font NAME");
  const double size = positiveNumber(command, "--size", std::nullopt);
  rules.width = positiveNumber(command, "--width", std::nullopt);
  const double lines = positiveNumber(command, "--lines", 2);
  if (lines != std::floor(lines) || lines > 100) throw Usage("--lines needs a whole number of lines");
  rules.lines = static_cast<int>(lines);
  rules.maxCps = positiveNumber(command, "--max-cps", rules.maxCps);
  rules.minDuration = positiveNumber(command, "--min-duration", rules.minDuration, true);
  rules.maxDuration = positiveNumber(command, "--max-duration", rules.maxDuration);
  rules.gap = positiveNumber(command, "--gap", rules.gap, true);
  rules.pause = positiveNumber(command, "--pause", rules.pause);
  rules.fps = positiveNumber(command, "--fps", rules.fps);
  if (rules.fps > 1000) throw Usage("--fps needs a frame rate of at most 1000");
  if (rules.minDuration > rules.maxDuration) throw Usage("--min-duration must not exceed --max-duration");
  const auto out = command.get("-o");
  const std::string format =
      lowerCase(command.get("--format").value_or(out && hasExtension(*out, ".vtt") ? "vtt" : "srt"));
  if (format != "srt" && format != "vtt") throw Usage("--format is srt or vtt");

  // Several inputs: a caption file for each, in the folder -o names or beside the input; two
  // inputs that would write one file are refused before any work.
  std::vector<std::string> names;
  if (command.inputs.size() > 1) {
    std::map<std::string, std::string> writers;
    for (const auto& input : command.inputs) {
      std::string name = input;
      const size_t slash = name.rfind('/'), dot = name.rfind('.');
      if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) name.erase(dot);
      if (out) name = *out + "/" + (slash == std::string::npos ? name : name.substr(slash + 1));
      name += "." + format;
      const auto [other, fresh] = writers.emplace(outputKey(name), input);
      if (!fresh) throw Usage(other->second + " and " + input + " would both write " + name);
      names.push_back(name);
    }
  }

  // The helper takes a font's name only as the font spells it; a name typed in another letter
  // case is given its installed spelling, and a missing font gets the nearest names to choose from.
  const auto spelled = installedSpelling(*font);
  const std::string fontName = spelled.value_or(*font);
  const MeasureStrings measure = [&](const std::vector<std::string>& strings) {
    json result = runJob(json{{"kind", "measure"}, {"font", fontName}, {"size", size}, {"strings", strings}});
    if (!isOk(result) && !spelled && result.contains("error") && result["error"].is_string()) {
      std::string message = result["error"].get<std::string>(), nearest;
      for (const auto& family : nearestFamilies(*font, 3)) nearest += (nearest.empty() ? "" : ", ") + family;
      if (!nearest.empty()) result["error"] = message + ". Installed families with the nearest names: " + nearest;
    }
    result = ensureOk(result);
    if (!result.contains("widths") || !result["widths"].is_array())
      throw std::runtime_error("The helper gave no widths");
    std::vector<double> widths;
    for (const auto& w : result["widths"]) widths.push_back(w.is_number() ? w.get<double>() : INFINITY);
    return widths;
  };
  askedDtw(command);
  // A missing font, and an output that can take no file, are found out before any transcription,
  // not after it.
  const auto audio = [](const std::string& input) { return !hasExtension(input, ".json"); };
  if (std::any_of(command.inputs.begin(), command.inputs.end(), audio)) measure({});
  if (out && names.empty()) checkWritable(*out);
  for (const auto& name : names) checkWritable(name);
  auto captions = [&](const std::string& input) {
    const json result = resultFor(command, input, names.empty() ? "" : input);
    const double length = audioLength(result, input);
    const auto cues = makeCues(wordsOf(result["whisper"], length), length, rules, measure);
    return format == "vtt" ? webVtt(cues) : srt(cues);
  };

  if (names.empty()) {
    save(out.value_or("-"), captions(command.inputs[0]));
    return 0;
  }
  for (size_t i = 0; i < names.size(); ++i) {
    save(names[i], captions(command.inputs[i]));
    std::printf("%s\n", names[i].c_str());
    std::fflush(stdout);
  }
  return 0;
}

int envelopeCommand(const Command& command) {
  if (command.inputs.size() != 1) throw Usage("envelope needs one AUDIO file or RESULT.json");
  const std::string& input = command.inputs[0];
  std::vector<double> db;
  double hop = HOP;
  if (hasExtension(input, ".json")) {
    const json result = readResult(input);
    if (!result.contains("env") || !result["env"].is_object() || !result["env"].contains("db") ||
        !result["env"]["db"].is_array())
      throw Failure(input + " holds no loudness envelope");
    hop = hopOf(result["env"], input, static_cast<double>(result["env"]["db"].size()));
    for (const auto& level : result["env"]["db"]) db.push_back(level.is_number() ? level.get<double>() : FLOOR);
  } else {
    // The helper computes an envelope only beside a transcription; this is the same code, run here.
    db = envelope(input);
  }
  save(command.get("-o").value_or("-"), envelopeSvg(db, hop, FLOOR));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (!arguments.empty() && (arguments[0] == "-h" || arguments[0] == "--help" || arguments[0] == "help")) {
    std::fputs(USAGE, stdout);
    return 0;
  }
  if (!arguments.empty() && arguments[0] == "--version") {
    std::puts("tovi " TOVI_VERSION);
    return 0;
  }
  stopOnSignals();
  try {
    const Command command = parse(arguments);
    if (command.help) {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (command.name == "transcribe") return transcribeCommand(command);
    if (command.name == "captions") return captionsCommand(command);
    if (command.name == "envelope") return envelopeCommand(command);
    throw Usage("unknown command " + command.name);
  } catch (const Usage& usage) {
    std::fprintf(stderr, "tovi: %s\n%s", usage.what(), USAGE);
    return 2;
  } catch (const Failure& failure) {
    std::fprintf(stderr, "tovi: %s\n", failure.message.c_str());
    return 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tovi: %s\n", error.what());
    return 1;
  }
}
