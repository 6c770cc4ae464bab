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
#include "client/captions.h"
#include "client/helper.h"
#include "client/svg.h"
#include "jobs/failure.h"
#include "jobs/program.h"
#include "platform/files.h"
#include "jobs/utf8.h"

using nlohmann::json;

namespace {

constexpr const char* USAGE =
    "usage: tovi transcribe AUDIO --model PATH [--model-url URL --model-sha HEX --model-size BYTES]\n"
    "                         [--lang L] [--prompt TEXT] [-o RESULT.json]\n"
    "       tovi captions (AUDIO... | RESULT.json) --font NAME --size PT --width PT [--lines N]\n"
    "                         [--format srt|vtt] [-o FILE] [--max-cps N] [--min-duration S]\n"
    "                         [--max-duration S] [--gap S] [--pause S] [transcription options]\n"
    "       tovi envelope (AUDIO | RESULT.json) [-o FILE.svg]\n"
    "       tovi --help | --version\n"
    "See tovi(1).\n";

// What the user asked for: the command, the other words, the options by name.
struct Command {
  std::string name;
  std::vector<std::string> inputs;
  std::map<std::string, std::string> options;

  std::optional<std::string> get(const std::string& key) const {
    auto it = options.find(key);
    return it == options.end() ? std::nullopt : std::optional(it->second);
  }
};

struct Usage : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const std::vector<std::string> OPTIONS = {
    "--model", "--model-url", "--model-sha", "--model-size", "--lang", "--prompt", "-o", "--font", "--size",
    "--width", "--lines", "--format", "--max-cps", "--min-duration", "--max-duration", "--gap", "--pause"};

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

bool endsWith(const std::string& s, const std::string& suffix) {
  if (s.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[s.size() - suffix.size() + i])) != suffix[i]) return false;
  return true;
}

// Puts the bytes at `path` through a new file beside it that is moved into place, so that a reader
// never sees half of them; "-" is standard output.
void save(const std::string& path, const std::string& bytes) {
  if (path == "-") {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0)
      throw std::runtime_error("Cannot write to standard output");
    return;
  }
  std::string temporary = path + ".XXXXXX";
  const int fd = files::usable(path) ? ::mkstemp(temporary.data()) : -1;
  if (fd < 0) throw std::runtime_error("Cannot write " + path + ": " + std::strerror(errno));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const int error = errno;
  // mkstemp's 0600 widened to what a new file would get under the umask.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  if (::close(fd) != 0 || done < bytes.size()) {
    ::unlink(temporary.c_str());
    throw std::runtime_error("Cannot write " + path + ": " + std::strerror(done < bytes.size() ? error : errno));
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int cause = errno;
    ::unlink(temporary.c_str());
    throw std::runtime_error("Cannot write " + path + ": " + std::strerror(cause));
  }
}

// A progress bar on standard error, only when it is a terminal.
class Bar {
 public:
  Bar() : shown_(::isatty(STDERR_FILENO) == 1) {}
  ~Bar() { clear(); }

  bool shown() const { return shown_; }

  // `device` follows the percentage; a new device starts a new line, as a new phase does.
  void update(const Progress& progress, const std::string& device = "") {
    const int percent = static_cast<int>(std::clamp<int64_t>(progress.percent, 0, 100));
    const char* label = progress.download ? "Downloading the model" : "Transcribing";
    if (drawn_ && (progress.download != download_ || device != device_)) std::fputs("\n", stderr);
    constexpr int CELLS = 30;
    const int filled = percent * CELLS / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(CELLS - filled), '-');
    std::fprintf(stderr, "\r%-22s [%s] %3d%%%s%s", label, bar.c_str(), percent, device.empty() ? "" : " ",
                 device.c_str());
    std::fflush(stderr);
    drawn_ = true;
    download_ = progress.download;
    device_ = device;
  }

  void clear() {
    if (!drawn_) return;
    std::fputs("\n", stderr);
    std::fflush(stderr);
    drawn_ = false;
  }

 private:
  bool shown_;
  bool drawn_ = false;
  bool download_ = false;
  std::string device_;
};

// A helper result that says "ok": false becomes the helper's own sentence.
json ensureOk(json result) {
  if (result.value("ok", false) != true)
    throw Failure(result.contains("error") && result["error"].is_string() ? result["error"].get<std::string>()
                                                                          : "The helper failed without a reason");
  return result;
}

json transcribe(const Command& command, const std::string& audio) {
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
  Bar bar;
  std::function<void(const Progress&)> follow;
  if (bar.shown()) {
    // The helper starts again from 0 on the CPU alone when a run on the GPU fails.
    follow = [&bar, device = transcriptionDevice(), last = int64_t{0}](const Progress& p) mutable {
      if (!p.download && p.percent < last) device = "on the CPU";
      if (!p.download) last = p.percent;
      bar.update(p, p.download ? "" : device);
    };
  }
  return ensureOk(runJob(job, follow));
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
  if (!value.is_object() || !value.contains("ok")) throw std::runtime_error(path + " is not a transcription result");
  return ensureOk(value);
}

json resultFor(const Command& command, const std::string& input) {
  return endsWith(input, ".json") ? readResult(input, true) : transcribe(command, input);
}

// The length of the audio: the envelope's, else the end of the last segment.
double audioLength(const json& result) {
  if (result.contains("env") && result["env"].is_object()) {
    const json& env = result["env"];
    const double hop = env.contains("hop") && env["hop"].is_number() ? env["hop"].get<double>() : HOP;
    if (env.contains("levels") && env["levels"].is_number_unsigned()) return hop * env["levels"].get<double>();
    if (env.contains("db") && env["db"].is_array()) return hop * static_cast<double>(env["db"].size());
  }
  double end = 0;
  const json& whisper = result["whisper"];
  if (whisper.is_object() && whisper.contains("transcription") && whisper["transcription"].is_array())
    for (const auto& segment : whisper["transcription"])
      if (segment.is_object() && segment.contains("offsets") && segment["offsets"].is_object() &&
          segment["offsets"].contains("to") && segment["offsets"]["to"].is_number())
        end = std::max(end, segment["offsets"]["to"].get<double>() / 1000);
  return end;
}

int transcribeCommand(const Command& command) {
  if (command.inputs.size() != 1) throw Usage("transcribe needs one AUDIO file");
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
  if (rules.minDuration > rules.maxDuration) throw Usage("--min-duration must not exceed --max-duration");
  const auto out = command.get("-o");
  std::string format = command.get("--format").value_or(out && endsWith(*out, ".vtt") ? "vtt" : "srt");
  if (format != "srt" && format != "vtt") throw Usage("--format is srt or vtt");

  const Measurer measure = [&](const std::vector<std::string>& strings) {
    const json result = ensureOk(runJob(json{{"kind", "measure"}, {"font", *font}, {"size", size}, {"strings", strings}}));
    if (!result.contains("widths") || !result["widths"].is_array()) throw std::runtime_error("The helper gave no widths");
    std::vector<double> widths;
    for (const auto& w : result["widths"]) widths.push_back(w.is_number() ? w.get<double>() : INFINITY);
    return widths;
  };
  auto captions = [&](const std::string& input) {
    const json result = resultFor(command, input);
    const double length = audioLength(result);
    const auto cues = makeCues(wordsOf(result["whisper"], length), length, rules, measure);
    return format == "vtt" ? webVtt(cues) : srt(cues);
  };

  if (command.inputs.size() == 1) {
    save(out.value_or("-"), captions(command.inputs[0]));
    return 0;
  }
  // Several inputs: a caption file for each, in the folder -o names or beside the input.
  for (const auto& input : command.inputs) {
    std::string name = input;
    const size_t slash = name.rfind('/'), dot = name.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) name.erase(dot);
    if (out) name = *out + "/" + (slash == std::string::npos ? name : name.substr(slash + 1));
    name += "." + format;
    save(name, captions(input));
    std::printf("%s\n", name.c_str());
  }
  return 0;
}

int envelopeCommand(const Command& command) {
  if (command.inputs.size() != 1) throw Usage("envelope needs one AUDIO file or RESULT.json");
  const std::string& input = command.inputs[0];
  std::vector<double> db;
  double hop = HOP;
  if (endsWith(input, ".json")) {
    const json result = readResult(input);
    if (!result.contains("env") || !result["env"].is_object() || !result["env"].contains("db"))
      throw std::runtime_error(input + " holds no loudness envelope");
    hop = result["env"].value("hop", HOP);
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
    if (stopSignalReceived()) return 128 + stopSignalReceived();
    std::fprintf(stderr, "tovi: %s\n", error.what());
    return 1;
  }
}
