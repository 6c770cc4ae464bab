#include "client/cues.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include <unicode/uchar.h>
#include <utf8proc.h>

#include "jobs/utf8.h"

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
// More words than anyone reads in one cue, whatever the width and duration allow: keeps the
// planning linear in the length of the transcript.
constexpr size_t MAX_WORDS = 120;

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

// Words after which the phrase goes on: articles and the like, prepositions, auxiliaries, and the
// conjunctions (a line that ends on one leaves its clause hanging). Sorted, lower case.
constexpr std::string_view HOLDING[] = {
    "a", "about", "above", "across", "after", "against", "along", "although", "am", "among", "an", "and", "are",
    "aren't", "around", "as", "at", "be", "because", "been", "before", "behind", "being", "below", "beneath",
    "beside", "between", "beyond", "but", "by", "can", "can't", "could", "couldn't", "despite", "did", "didn't",
    "do", "does", "doesn't", "don't", "during", "each", "every", "except", "for", "from", "had", "hadn't",
    "has", "hasn't", "have", "haven't", "his", "i'd", "i'll", "i'm", "i've", "if", "in", "inside", "into", "is",
    "isn't", "it's", "its", "like", "may", "might", "must", "my", "near", "nor", "of", "off", "on", "onto",
    "or", "our", "over", "past", "shall", "should", "shouldn't", "since", "so", "some", "than", "that", "the",
    "their", "these", "they're", "this", "those", "though", "through", "to", "toward", "towards", "under",
    "unless", "until", "upon", "was", "wasn't", "we're", "were", "weren't", "when", "where", "whether", "which",
    "while", "who", "whom", "whose", "will", "with", "within", "without", "won't", "would", "wouldn't", "yet",
    "you're", "your"};

// Words a new clause starts with: a line or cue may well break before them.
constexpr std::string_view CONJUNCTIONS[] = {
    "although", "and", "because", "but", "if", "nor", "or", "so", "that", "though", "unless", "when",
    "where", "whereas", "whether", "which", "while", "who"};

// The word as the lists hold it: lower case, without quotes around it, a typographic apostrophe
// written as a plain one.
std::string plainForm(const std::string& word) {
  std::string s;
  for (size_t at = 0; at < word.size(); ++at) {
    if (word.compare(at, 3, "\u2019") == 0) {
      s += '\'';
      at += 2;
    } else {
      s += static_cast<char>(std::tolower(static_cast<unsigned char>(word[at])));
    }
  }
  const size_t first = s.find_first_not_of("\"'("), last = s.find_last_not_of("\"')");
  return first == std::string::npos ? "" : s.substr(first, last - first + 1);
}

template <size_t N>
bool listed(const std::string_view (&list)[N], const std::string& k) {
  return std::binary_search(list, list + N, std::string_view(k));
}

// A capitalised word of letters, such as a name ("Maria", "O'Brien", "Lopez,"); "I" is none.
bool capitalised(const std::string& word) {
  auto cps = codePoints(word);
  while (!cps.empty() && !u_isalpha(cps.back())) cps.pop_back();
  if (cps.size() < 2 || !u_isupper(cps[0])) return false;
  return std::all_of(cps.begin() + 1, cps.end(), [](int32_t c) { return u_isalpha(c) || c == '\'' || c == '-'; });
}

// What a break after a word is worth, best first.
enum class Join { Sentence, Clause, Conjunction, Plain, Weak };

// What a break adds to the longest line when the lines of a cue are weighed, as a share of the
// width: a good break wins over a plain one whose longest line is shorter by less than its share,
// and a weak one loses to any other whose longest line is longer by less than 20 % of the width
// (so by 10 % of the longest line at the very least).
double linePenalty(Join join) {
  switch (join) {
    case Join::Sentence: return -0.3;
    case Join::Clause: return -0.25;
    case Join::Conjunction: return -0.12;
    case Join::Plain: return 0;
    case Join::Weak: return 0.2;
  }
  return 0;
}

// Widths of runs of words: measured exactly once a run has been measured as a line, else the sum
// of the words and what joins them, scaled by the largest underestimate seen so far.
class Widths {
 public:
  Widths(const std::vector<Word>& words, const MeasureStrings& measure) : words_(words), measure_(measure) {
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
  const MeasureStrings& measure_;
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
// one fits, then the least longest line plus the penalties of the breaks (`penalty[i]` for a break
// after word i, in points), then the top line the shorter. The sum of a maximum and penalties does
// not break into parts, so every state keeps each layout that no other beats in all three.
std::vector<Span> breakLines(const Widths& width, const std::vector<double>& penalty, size_t a, size_t b, int count,
                             double limit) {
  if (count <= 1) return {{a, b}};
  struct Option {
    int lonely;
    double longest, penalty;
    size_t next, rest;  // where the next line starts, and which of that state's options follows
  };
  auto add = [](std::vector<Option>& options, const Option& o) {
    for (const auto& p : options)
      if (p.lonely <= o.lonely && p.longest <= o.longest && p.penalty <= o.penalty) return;
    std::erase_if(options, [&](const Option& p) {
      return o.lonely <= p.lonely && o.longest <= p.longest && o.penalty <= p.penalty;
    });
    options.push_back(o);
  };
  const size_t n = b - a;
  const auto lines = static_cast<size_t>(count);
  // best[k][i]: the words [a + i, b) in k + 1 lines.
  std::vector<std::vector<std::vector<Option>>> best(lines, std::vector<std::vector<Option>>(n + 1));
  auto fits = [&](size_t from, size_t to) { return to == from + 1 || width(from, to) <= limit; };
  for (size_t i = 0; i < n; ++i)
    if (fits(a + i, b)) best[0][i].push_back({n - i == 1 && n > 1 ? 1 : 0, width(a + i, b), 0, b, 0});
  for (size_t k = 1; k < lines; ++k) {
    // The whole cue needs only its first word's state at the top.
    for (size_t i = 0; i + k < n && (k + 1 < lines || i == 0); ++i) {
      auto& here = best[k][i];
      for (size_t j = i + 1; j + k <= n; ++j) {
        const auto& rest = best[k - 1][j];
        if (rest.empty()) continue;
        if (!fits(a + i, a + j)) break;
        const double w = width(a + i, a + j);
        const int lonely = j - i == 1 ? 1 : 0;
        // Earlier breaks come first, so on a tie the upper line stays the shorter.
        for (size_t r = 0; r < rest.size(); ++r)
          add(here, {rest[r].lonely + lonely, std::max(w, rest[r].longest), rest[r].penalty + penalty[a + j - 1],
                     a + j, r});
      }
    }
  }
  const auto& top = best[lines - 1][0];
  if (top.empty()) return {{a, b}};  // cannot happen: the filled lines are one layout
  size_t chosen = 0;
  for (size_t o = 1; o < top.size(); ++o) {
    const Option &p = top[o], &q = top[chosen];
    if (p.lonely < q.lonely || (p.lonely == q.lonely && p.longest + p.penalty < q.longest + q.penalty)) chosen = o;
  }
  std::vector<Span> out;
  size_t i = 0;
  const Option* option = &top[chosen];
  for (size_t k = lines; k-- > 0;) {
    out.push_back({a + i, option->next});
    if (k == 0) break;
    i = option->next - a;
    option = &best[k - 1][i][option->rest];
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
    sound_.assign(n + 1, 0);
    pauses_.assign(n + 1, 0);
    joinerChars_.resize(n);
    std::vector<std::string> keys;
    for (const auto& w : words) keys.push_back(plainForm(w.text));
    for (size_t i = 0; i < n; ++i) {
      joinerChars_[i] = static_cast<double>(characters(words[i].joiner));
      chars_[i + 1] = chars_[i] + joinerChars_[i] + static_cast<double>(characters(words[i].text));
      sentence_.push_back(endsSentence(words[i].text));
      clause_.push_back(endsClause(words[i].text));
      short_.push_back(characters(words[i].text) <= 3);
      join_.push_back(sentence_[i] ? Join::Sentence
                      : clause_[i] ? Join::Clause
                      : listed(HOLDING, keys[i]) || (i + 1 < n && capitalised(words[i].text) &&
                                                     capitalised(words[i + 1].text))
                          ? Join::Weak
                      : i + 1 < n && listed(CONJUNCTIONS, keys[i + 1]) ? Join::Conjunction
                                                                        : Join::Plain);
      penalty_.push_back(linePenalty(join_[i]) * rules.width);
      sentences_[i + 1] = sentences_[i] + (sentence_[i] ? 1 : 0);
      sound_[i + 1] = sound_[i] + (join_[i] != Join::Weak ? 1 : 0);
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
      size_t lowest = i + 1;  // in two lines, the second may start no earlier than this
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
        double cost = best[i] + cueCost(i, j);
        // Two lines that can only break where the phrase goes on: as bad as a cue ending at a pause.
        if (lines == 2) {
          while (lowest < lineStart && width(lowest, j) > rules_.width) ++lowest;
          if (sound_[lineStart] == sound_[lowest - 1]) cost += 4;
        }
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
      plan.lines.push_back(breakLines(width, penalty_, cue.first, cue.end, count, rules_.width));
    }
    return plan;
  }

 private:
  // What ending a cue of the words [i, j) costs: each cue a little, a break that is not at a
  // sentence end more (clause punctuation, then a pause, then before a conjunction, then anywhere,
  // and after a short word or where the phrase goes on the most), a sentence end inside it, a long
  // silence inside it (its text would show long before it is said) by its length, and time short
  // of what reading it needs.
  double cueCost(size_t i, size_t j) const {
    const size_t n = words_.size();
    double cost = 1;
    if (j < n) {
      const size_t last = j - 1;
      if (sentence_[last]) {
        // a cue that ends a sentence costs nothing more
      } else if (clause_[last]) cost += 2;
      else if (words_[j].start - words_[last].end >= rules_.pause) cost += 4;
      else if (join_[last] == Join::Conjunction) cost += 5;
      else if (join_[last] == Join::Weak) cost += 11;
      else cost += short_[last] ? 10 : 8;  // short words are often articles and prepositions too
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
  std::vector<Join> join_;        // what a break after each word is worth...
  std::vector<double> penalty_;   // ...and its weight inside a cue, in points
  std::vector<int> sentences_;
  std::vector<int> sound_;        // the breaks that leave no phrase hanging, counted
  std::vector<double> pauses_;  // the long silences between words, summed
};

// A count of `ticks` a second (milliseconds, or frames), and back to milliseconds.
long long ticks(double seconds, double perSecond) { return std::llround(seconds * perSecond); }
long long ticksUp(double seconds, double perSecond) {
  return static_cast<long long>(std::ceil(seconds * perSecond - 1e-6));
}
long long ticksDown(double seconds, double perSecond) {
  return static_cast<long long>(std::floor(seconds * perSecond + 1e-6));
}

}  // namespace

std::vector<Cue> makeCues(const std::vector<Word>& words, double audioEnd, const CaptionRules& rules,
                          const MeasureStrings& measure) {
  if (words.empty()) return {};
  // At a frame rate, a gap is whole frames, two at the least.
  const double perSecond = rules.fps > 0 ? rules.fps : 1000;
  CaptionRules timing = rules;
  if (rules.fps > 0) timing.gap = static_cast<double>(std::max<long long>(2, ticksUp(rules.gap, perSecond))) / perSecond;
  Widths width(words, measure);
  Planner planner(words, audioEnd, timing);
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

  // Times in whole ticks, so that the gaps hold exactly as written.
  const long long gap = ticks(timing.gap, perSecond), minimum = ticksUp(rules.minDuration, perSecond),
                  maximum = ticksDown(rules.maxDuration, perSecond),
                  end = std::isfinite(audioEnd) ? std::max<long long>(ticksDown(audioEnd, perSecond), 1)
                                                : std::numeric_limits<long long>::max() / 4;
  std::vector<std::pair<long long, long long>> times;
  for (size_t c = 0; c < plan.cues.size(); ++c) {
    const Span& span = plan.cues[c];
    const long long need =
        std::max(minimum, ticksUp(planner.characterCount(span.first, span.end) / rules.maxCps, perSecond));
    long long start = ticks(words[span.first].start, perSecond);
    if (!times.empty()) start = std::max(start, times.back().second + gap);
    const long long limit = c + 1 < plan.cues.size() ? ticks(words[plan.cues[c + 1].first].start, perSecond) - gap : end;
    long long stop = std::max(ticks(words[span.end - 1].end, perSecond), start + need);
    stop = std::min({stop, start + maximum, limit, end});
    // Words crowded closer than the gap: the next cue waits.
    if (stop <= start) stop = std::min(start + minimum, end);
    times.emplace_back(start, stop);
  }
  // At the very end of the audio there may be no room left: cues move back until each has some.
  for (size_t c = times.size(); c-- > 0;) {
    auto& [start, stop] = times[c];
    if (stop > end) stop = end;
    if (c + 1 < times.size()) stop = std::min(stop, times[c + 1].first - gap);
    if (start >= stop) start = std::max<long long>(0, stop - 1);
  }
  std::vector<Cue> cues;
  for (size_t c = 0; c < plan.cues.size(); ++c) {
    Cue cue;
    cue.startMs = std::llround(static_cast<double>(times[c].first) * 1000 / perSecond);
    cue.endMs = std::llround(static_cast<double>(times[c].second) * 1000 / perSecond);
    for (const auto& line : plan.lines[c]) cue.lines.push_back(width.text(line.first, line.end));
    cues.push_back(std::move(cue));
  }
  return cues;
}
