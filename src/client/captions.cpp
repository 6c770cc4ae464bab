#include "client/captions.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include <utf8proc.h>

namespace {

using nlohmann::json;

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD
constexpr double INF = std::numeric_limits<double>::infinity();
// More words than anyone reads in one cue, whatever the width and duration allow: keeps the
// planning linear in the length of the transcript.
constexpr size_t MAX_WORDS = 120;

// The code points of UTF-8 text; a bad byte reads as U+FFFD.
std::vector<int32_t> codePoints(std::string_view s) {
  std::vector<int32_t> out;
  size_t at = 0;
  while (at < s.size()) {
    utf8proc_int32_t c;
    auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(s.data() + at),
                              static_cast<utf8proc_ssize_t>(s.size() - at), &c);
    if (n <= 0) {
      out.push_back(0xFFFD);
      ++at;
      continue;
    }
    out.push_back(c);
    at += static_cast<size_t>(n);
  }
  return out;
}

// Letters of the scripts written without blanks between words: each stands as a word of its own.
bool unspacedLetter(int32_t c) {
  return (c >= 0x3040 && c <= 0x30FF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) ||
         (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFF66 && c <= 0xFF9F) || (c >= 0x20000 && c <= 0x2FFFF);
}

// Their punctuation (the ideographic full stop and comma, fullwidth forms): joins the word before.
bool unspacedPunctuation(int32_t c) { return (c >= 0x3000 && c <= 0x303F) || (c >= 0xFF00 && c <= 0xFF65); }

bool isPunctuation(int32_t c) {
  const auto category = utf8proc_category(c);
  return category >= UTF8PROC_CATEGORY_PC && category <= UTF8PROC_CATEGORY_PO;
}

std::string trimmed(const std::string& s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

bool isSpecial(const std::string& text) {
  return (text.size() >= 3 && text.compare(0, 2, "[_") == 0 && text.back() == ']') ||
         (text.size() >= 4 && text.compare(0, 2, "<|") == 0 && text.compare(text.size() - 2, 2, "|>") == 0);
}

double number(const json& object, const char* key, double otherwise) {
  if (!object.is_object()) return otherwise;
  auto it = object.find(key);
  return it != object.end() && it->is_number() ? it->get<double>() : otherwise;
}

struct Piece {
  std::string text;
  double start;
  double end;
};

// The segment's tokens that carry text, with their times in seconds.
std::vector<Piece> piecesOf(const json& segment) {
  std::vector<Piece> pieces;
  const double segmentFrom = number(segment.value("offsets", json()), "from", 0) / 1000;
  const double segmentTo = number(segment.value("offsets", json()), "to", segmentFrom * 1000) / 1000;
  auto tokens = segment.find("tokens");
  if (tokens != segment.end() && tokens->is_array()) {
    for (const auto& token : *tokens) {
      if (!token.is_object() || !token.contains("text") || !token["text"].is_string()) continue;
      std::string text = token["text"].get<std::string>();
      if (isSpecial(text)) continue;
      const json offsets = token.value("offsets", json());
      const double from = number(offsets, "from", segmentFrom * 1000) / 1000;
      const double to = number(offsets, "to", from * 1000) / 1000;
      const double dtw = number(token, "t_dtw", -1);
      pieces.push_back({std::move(text), dtw >= 0 ? dtw / 100 : from, to});
    }
  }
  const std::string segmentText = segment.value("text", json()).is_string() ? segment["text"].get<std::string>() : "";
  if (pieces.empty()) {
    // No tokens: the segment's words, spread over its time by their length.
    const auto cps = codePoints(segmentText);
    const double perChar = cps.empty() ? 0 : (segmentTo - segmentFrom) / static_cast<double>(cps.size());
    size_t at = 0, count = 0;
    while (at < segmentText.size()) {
      size_t end = segmentText.find(' ', at + 1);
      if (end == std::string::npos) end = segmentText.size();
      const std::string text = segmentText.substr(at, end - at);
      const size_t n = codePoints(text).size();
      pieces.push_back({text, segmentFrom + perChar * static_cast<double>(count),
                        segmentFrom + perChar * static_cast<double>(count + n)});
      count += n;
      at = end;
    }
    return pieces;
  }
  // A character split across tokens reaches us as U+FFFD in each: such a run of tokens takes the
  // bytes the segment's text holds between its neighbours.
  bool damaged = false;
  for (const auto& p : pieces) damaged = damaged || p.text.find(REPLACEMENT) != std::string::npos;
  if (!damaged) return pieces;
  std::vector<Piece> repaired = pieces;
  size_t pos = 0;
  for (size_t k = 0; k < repaired.size(); ++k) {
    if (repaired[k].text.find(REPLACEMENT) == std::string::npos) {
      if (segmentText.compare(pos, repaired[k].text.size(), repaired[k].text) != 0) return pieces;
      pos += repaired[k].text.size();
      continue;
    }
    size_t r = k;
    while (r < repaired.size() && repaired[r].text.find(REPLACEMENT) != std::string::npos) ++r;
    size_t end = r < repaired.size() ? segmentText.find(repaired[r].text, pos + 1) : segmentText.size();
    if (end == std::string::npos || end <= pos) return pieces;
    repaired[k].text = segmentText.substr(pos, end - pos);
    for (size_t m = k + 1; m < r; ++m) repaired[m].text.clear();
    pos = end;
    k = r - 1;
  }
  return repaired;
}

bool endsSentence(const std::string& word) {
  auto cps = codePoints(word);
  // Closing quotes and brackets after the stop still end the sentence.
  while (!cps.empty()) {
    const auto category = utf8proc_category(cps.back());
    if (category == UTF8PROC_CATEGORY_PE || category == UTF8PROC_CATEGORY_PF || cps.back() == '"' || cps.back() == '\'')
      cps.pop_back();
    else
      break;
  }
  if (cps.empty()) return false;
  switch (cps.back()) {
    case '.': case '!': case '?': case 0x2026: case 0x3002: case 0xFF01: case 0xFF1F: case 0xFF0E: case 0x203D:
    case 0x061F: case 0x0964: case 0x037E:
      return true;
  }
  return false;
}

bool endsClause(const std::string& word) {
  auto cps = codePoints(word);
  if (cps.empty()) return false;
  switch (cps.back()) {
    case ',': case ';': case ':': case 0x2014: case 0x2013: case 0x3001: case 0xFF0C: case 0xFF1B: case 0xFF1A:
    case 0x060C:
      return true;
  }
  return false;
}

// Widths of runs of words: measured exactly once a run has been measured as a line, else the sum
// of the words and what joins them, scaled by the largest underestimate seen so far.
class Widths {
 public:
  Widths(const std::vector<Word>& words, const Measurer& measure) : words_(words), measure_(measure) {
    std::vector<std::string> unique;
    std::unordered_map<std::string, size_t> index;
    auto indexOf = [&](const std::string& s) {
      auto [it, added] = index.emplace(s, unique.size());
      if (added) unique.push_back(s);
      return it->second;
    };
    std::vector<size_t> wordIndex, joinerIndex;
    for (const auto& w : words) {
      wordIndex.push_back(indexOf(w.text));
      joinerIndex.push_back(indexOf(w.joiner));
    }
    auto widths = measure_(unique);
    if (widths.size() != unique.size()) throw std::runtime_error("The helper measured the wrong number of strings");
    for (double& w : widths) w = usable(w);
    prefix_.assign(words.size() + 1, 0);
    joiner_.resize(words.size());
    wordWidth_.resize(words.size());
    for (size_t i = 0; i < words.size(); ++i) {
      joiner_[i] = widths[joinerIndex[i]];
      wordWidth_[i] = widths[wordIndex[i]];
      prefix_[i + 1] = prefix_[i] + joiner_[i] + wordWidth_[i];
    }
  }

  double operator()(size_t a, size_t b) const {
    if (b == a + 1) return wordWidth_[a];
    if (!exact_.empty()) {
      auto it = exact_.find(key(a, b));
      if (it != exact_.end()) return it->second;
    }
    return (prefix_[b] - prefix_[a] - joiner_[a]) * scale_;
  }

  bool isExact(size_t a, size_t b) const { return b == a + 1 || exact_.count(key(a, b)) > 0; }

  std::string text(size_t a, size_t b) const {
    std::string s = words_[a].text;
    for (size_t k = a + 1; k < b; ++k) s += words_[k].joiner + words_[k].text;
    return s;
  }

  // Measures the runs in one batch and keeps their widths.
  void measure(const std::vector<std::pair<size_t, size_t>>& runs) {
    std::vector<std::string> texts;
    for (auto [a, b] : runs) texts.push_back(text(a, b));
    auto widths = measure_(texts);
    if (widths.size() != texts.size()) throw std::runtime_error("The helper measured the wrong number of strings");
    for (double& w : widths) w = usable(w);
    for (size_t k = 0; k < runs.size(); ++k) {
      auto [a, b] = runs[k];
      const double sum = prefix_[b] - prefix_[a] - joiner_[a];
      if (sum > 0) scale_ = std::max(scale_, widths[k] / sum);
      exact_[key(a, b)] = widths[k];
    }
  }

 private:
  // A width that is not a number counts as too wide for any line, yet keeps the sums finite.
  static double usable(double w) { return std::isfinite(w) && w >= 0 ? w : 1e12; }
  static uint64_t key(size_t a, size_t b) { return (static_cast<uint64_t>(a) << 32) | static_cast<uint64_t>(b); }

  const std::vector<Word>& words_;
  const Measurer& measure_;
  std::vector<double> prefix_, joiner_, wordWidth_;
  std::unordered_map<uint64_t, double> exact_;
  double scale_ = 1;
};

struct Span {
  size_t first, end;  // words [first, end)
};

// How many lines the words [a, b) need at the least: lines filled one word at a time.
int linesNeeded(const Widths& width, size_t a, size_t b, double limit) {
  int lines = 1;
  size_t start = a;
  for (size_t k = a + 1; k < b; ++k) {
    if (width(start, k + 1) > limit) {
      ++lines;
      start = k;
    }
  }
  return lines;
}

// The words [a, b) in exactly `count` lines: no line alone with one word where a layout without
// one fits, then the longest line as short as it can be, then the top line the shorter.
std::vector<Span> balance(const Widths& width, size_t a, size_t b, int count, double limit) {
  if (count <= 1) return {{a, b}};
  struct Best {
    int lonely = std::numeric_limits<int>::max();
    double longest = INF;
    size_t next = 0;
  };
  const size_t n = b - a;
  const auto lines = static_cast<size_t>(count);
  // best[k][i]: the words [a + i, b) in k + 1 lines.
  std::vector<std::vector<Best>> best(lines, std::vector<Best>(n + 1));
  auto fits = [&](size_t from, size_t to) { return to == from + 1 || width(from, to) <= limit; };
  for (size_t i = 0; i < n; ++i) {
    if (!fits(a + i, b)) continue;
    best[0][i] = {n - i == 1 && n > 1 ? 1 : 0, width(a + i, b), b};
  }
  for (size_t k = 1; k < lines; ++k) {
    for (size_t i = 0; i + k < n; ++i) {
      Best& here = best[k][i];
      for (size_t j = i + 1; j + k <= n; ++j) {
        const Best& rest = best[k - 1][j];
        if (rest.longest == INF) continue;
        if (!fits(a + i, a + j)) break;
        const double w = width(a + i, a + j);
        const int lonely = rest.lonely + (j - i == 1 ? 1 : 0);
        const double longest = std::max(w, rest.longest);
        // Earlier breaks come first, so on a tie the upper line stays the shorter.
        if (lonely < here.lonely || (lonely == here.lonely && longest < here.longest))
          here = {lonely, longest, a + j};
      }
    }
  }
  std::vector<Span> out;
  size_t i = 0;
  for (size_t k = lines; k-- > 0;) {
    const Best& b2 = best[k][i];
    if (b2.longest == INF) return {{a, b}};  // cannot happen: the filled lines are one layout
    out.push_back({a + i, b2.next});
    i = b2.next - a;
  }
  return out;
}

struct Plan {
  std::vector<Span> cues;
  std::vector<std::vector<Span>> lines;
};

class Planner {
 public:
  Planner(const std::vector<Word>& words, double audioEnd, const CaptionRules& rules)
      : words_(words), audioEnd_(audioEnd), rules_(rules) {
    const size_t n = words.size();
    chars_.assign(n + 1, 0);
    sentences_.assign(n + 1, 0);
    pauses_.assign(n + 1, 0);
    joinerChars_.resize(n);
    for (size_t i = 0; i < n; ++i) {
      joinerChars_[i] = static_cast<double>(characters(words[i].joiner));
      chars_[i + 1] = chars_[i] + joinerChars_[i] + static_cast<double>(characters(words[i].text));
      sentence_.push_back(endsSentence(words[i].text));
      clause_.push_back(endsClause(words[i].text));
      short_.push_back(characters(words[i].text) <= 3);
      sentences_[i + 1] = sentences_[i] + (sentence_[i] ? 1 : 0);
      const double silence = i + 1 < n ? words[i + 1].start - words[i].end : 0;
      pauses_[i + 1] = pauses_[i] + (silence >= 2 * rules.pause ? silence : 0);
    }
  }

  double characterCount(size_t a, size_t b) const { return chars_[b] - chars_[a] - joinerChars_[a]; }

  Plan plan(const Widths& width) const {
    const size_t n = words_.size();
    std::vector<double> best(n + 1, INF);
    std::vector<size_t> from(n + 1, 0);
    best[0] = 0;
    for (size_t i = 0; i < n; ++i) {
      if (best[i] == INF) continue;
      int lines = 1;
      size_t lineStart = i;
      for (size_t j = i + 1; j <= n; ++j) {
        const size_t last = j - 1;
        if (last > i) {
          if (width(lineStart, j) > rules_.width) {
            ++lines;
            lineStart = last;
          }
          if (lines > rules_.lines) break;
          if (words_[last].end - words_[i].start > rules_.maxDuration || j - i > MAX_WORDS) break;
        }
        const double cost = best[i] + cueCost(i, j);
        if (cost < best[j]) {
          best[j] = cost;
          from[j] = i;
        }
      }
    }
    Plan plan;
    for (size_t j = n; j > 0; j = from[j]) plan.cues.push_back({from[j], j});
    std::reverse(plan.cues.begin(), plan.cues.end());
    for (const auto& cue : plan.cues) {
      const int count = linesNeeded(width, cue.first, cue.end, rules_.width);
      plan.lines.push_back(balance(width, cue.first, cue.end, count, rules_.width));
    }
    return plan;
  }

 private:
  // What ending a cue of the words [i, j) costs: each cue a little, a break that is not at a
  // sentence end more (clause punctuation, then a pause, then anywhere, and after a short word such
  // as an article or a preposition the most), a sentence end inside it,
  // a long silence inside it (its text would show long before it is said) by its length, and time
  // short of what reading it needs.
  double cueCost(size_t i, size_t j) const {
    const size_t n = words_.size();
    double cost = 1;
    if (j < n) {
      const size_t last = j - 1;
      if (sentence_[last]) {
        // a cue that ends a sentence costs nothing more
      } else if (clause_[last]) cost += 2;
      else if (words_[j].start - words_[last].end >= rules_.pause) cost += 4;
      else cost += short_[last] ? 10 : 8;  // after "of", "the", "a" the phrase goes on
    }
    if (j - i > 1) {
      cost += 1.5 * (sentences_[j - 1] - sentences_[i]);
      cost += 4 * (pauses_[j - 1] - pauses_[i]);
    }
    const double next = j < n ? words_[j].start - rules_.gap : audioEnd_;
    const double window = std::min(next - words_[i].start, rules_.maxDuration);
    const double need = std::max(rules_.minDuration, characterCount(i, j) / rules_.maxCps);
    if (window < need) cost += 20 * (need - window);
    return cost;
  }

  const std::vector<Word>& words_;
  double audioEnd_;
  const CaptionRules& rules_;
  std::vector<double> chars_, joinerChars_;
  std::vector<bool> sentence_, clause_, short_;
  std::vector<int> sentences_;
  std::vector<double> pauses_;  // the long silences between words, summed
};

long long millis(double seconds) { return std::llround(seconds * 1000); }

std::string clock(long long ms, char separator) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld%c%03lld", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                separator, ms % 1000);
  return buffer;
}

}  // namespace

size_t characters(const std::string& text) {
  size_t count = 0;
  utf8proc_int32_t previous = -1, state = 0;
  for (int32_t c : codePoints(text)) {
    if (previous < 0 || utf8proc_grapheme_break_stateful(previous, c, &state)) ++count;
    previous = c;
  }
  return count;
}

std::vector<Word> wordsOf(const json& whisper, double audioEnd) {
  std::vector<Word> words;
  std::vector<double> ends;
  if (!whisper.is_object() || !whisper.contains("transcription") || !whisper["transcription"].is_array()) return words;
  bool afterUnspaced = false;
  for (const auto& segment : whisper["transcription"]) {
    if (!segment.is_object()) continue;
    bool segmentStart = true, spaceBefore = false;
    for (auto& piece : piecesOf(segment)) {
      std::string text = piece.text;
      for (char& c : text)
        if (c == '\n' || c == '\r' || c == '\t' || c == '\v' || c == '\f') c = ' ';
      const bool leading = !text.empty() && text.front() == ' ';
      const std::string core = trimmed(text);
      if (core.empty()) {
        spaceBefore = spaceBefore || !text.empty();
        continue;
      }
      const auto cps = codePoints(core);
      const int32_t first = cps.front();
      const bool blank = leading || spaceBefore;
      if (words.empty() || segmentStart || blank || unspacedLetter(first) ||
          (afterUnspaced && !isPunctuation(first) && !unspacedPunctuation(first))) {
        // Characters of unspaced scripts join without a blank, also across segments.
        const bool unspaced = !blank && (afterUnspaced || unspacedLetter(first) || unspacedPunctuation(first));
        words.push_back({core, unspaced ? "" : " ", piece.start, piece.end});
      } else {
        words.back().text += core;
        words.back().end = piece.end;
      }
      afterUnspaced = unspacedLetter(cps.back()) || unspacedPunctuation(cps.back());
      spaceBefore = text.back() == ' ';
      segmentStart = false;
    }
  }
  // Times inside the audio and in order; a word ends by the time the next one starts.
  if (!(audioEnd >= 0)) audioEnd = 0;
  double previous = 0;
  for (auto& w : words) {
    w.start = std::clamp(w.start, previous, audioEnd);
    previous = w.start;
  }
  for (size_t i = 0; i < words.size(); ++i) {
    Word& w = words[i];
    const double next = i + 1 < words.size() ? words[i + 1].start : audioEnd;
    const double guess = w.start + 0.1 + 0.06 * static_cast<double>(characters(w.text));
    w.end = std::clamp(w.end > w.start ? w.end : guess, w.start, std::max(w.start, next));
  }
  return words;
}

std::vector<Cue> makeCues(const std::vector<Word>& words, double audioEnd, const CaptionRules& rules,
                          const Measurer& measure) {
  if (words.empty()) return {};
  Widths width(words, measure);
  Planner planner(words, audioEnd, rules);
  Plan plan;
  for (;;) {
    plan = planner.plan(width);
    std::vector<std::pair<size_t, size_t>> unmeasured;
    for (const auto& lines : plan.lines)
      for (const auto& line : lines)
        if (!width.isExact(line.first, line.end)) unmeasured.emplace_back(line.first, line.end);
    if (unmeasured.empty()) break;
    width.measure(unmeasured);
    bool fits = true;
    for (auto [a, b] : unmeasured) fits = fits && width(a, b) <= rules.width;
    if (fits) break;
  }

  // Times in whole milliseconds, so that the gaps hold exactly as written.
  const long long gap = millis(rules.gap), minimum = millis(rules.minDuration), maximum = millis(rules.maxDuration),
                  end = std::max<long long>(millis(audioEnd), 1);
  std::vector<Cue> cues;
  for (size_t c = 0; c < plan.cues.size(); ++c) {
    const Span& span = plan.cues[c];
    Cue cue;
    for (const auto& line : plan.lines[c]) cue.lines.push_back(width.text(line.first, line.end));
    const long long need = std::max(minimum, static_cast<long long>(std::ceil(
                                                 planner.characterCount(span.first, span.end) * 1000 / rules.maxCps)));
    cue.startMs = millis(words[span.first].start);
    if (!cues.empty()) cue.startMs = std::max(cue.startMs, cues.back().endMs + gap);
    const long long limit = c + 1 < plan.cues.size() ? millis(words[plan.cues[c + 1].first].start) - gap : end;
    cue.endMs = std::max(millis(words[span.end - 1].end), cue.startMs + need);
    cue.endMs = std::min({cue.endMs, cue.startMs + maximum, limit, end});
    // Words crowded closer than the gap: the next cue waits.
    if (cue.endMs <= cue.startMs) cue.endMs = std::min(cue.startMs + minimum, end);
    cues.push_back(std::move(cue));
  }
  // At the very end of the audio there may be no room left: cues move back until each has some.
  for (size_t c = cues.size(); c-- > 0;) {
    Cue& cue = cues[c];
    if (cue.endMs > end) cue.endMs = end;
    if (c + 1 < cues.size()) cue.endMs = std::min(cue.endMs, cues[c + 1].startMs - gap);
    if (cue.startMs >= cue.endMs) cue.startMs = std::max<long long>(0, cue.endMs - 1);
  }
  return cues;
}

std::string srt(const std::vector<Cue>& cues) {
  std::string out;
  for (size_t i = 0; i < cues.size(); ++i) {
    out += std::to_string(i + 1) + "\n" + clock(cues[i].startMs, ',') + " --> " + clock(cues[i].endMs, ',') + "\n";
    for (const auto& line : cues[i].lines) out += line + "\n";
    out += "\n";
  }
  return out;
}

std::string webVtt(const std::vector<Cue>& cues) {
  std::string out = "WEBVTT\n\n";
  for (const auto& cue : cues) {
    out += clock(cue.startMs, '.') + " --> " + clock(cue.endMs, '.') + "\n";
    for (const auto& line : cue.lines) {
      for (char c : line) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
      }
      out += "\n";
    }
    out += "\n";
  }
  return out;
}
