#include "client/words.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <utf8proc.h>

#include "jobs/utf8.h"

namespace {

using nlohmann::json;

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD
// What whisper's models write for a stretch without speech: nothing anyone says.
constexpr std::string_view SILENCE = "[BLANK_AUDIO]";

// The code point that starts at byte `at`, and the one that ends there.
int32_t codePointAt(std::string_view s, size_t at) {
  const int32_t c = nextCodePoint(s, at);
  return c < 0 ? 0xFFFD : c;
}

int32_t codePointBefore(std::string_view s, size_t at) {
  if (at == 0) return 0xFFFD;
  size_t from = at - 1;
  while (from > 0 && at - from < 4 && (static_cast<unsigned char>(s[from]) & 0xC0) == 0x80) --from;
  return codePointAt(s.substr(0, at), from);
}

// Written without blanks between words (and their punctuation): a line may break between two
// words of these scripts, and whatever joins them is no blank.
bool unspaced(int32_t c) {
  if ((c >= 0x3000 && c <= 0x303F) || (c >= 0xFF00 && c <= 0xFF65)) return true;
  switch (u_getIntPropertyValue(c, UCHAR_LINE_BREAK)) {
    case U_LB_IDEOGRAPHIC:
    case U_LB_COMPLEX_CONTEXT:
    case U_LB_CONDITIONAL_JAPANESE_STARTER:
      return true;
    default:
      return false;
  }
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

// Removes whisper's silence marker from the segment's pieces, wherever its tokens fall.
void dropSilence(std::vector<Piece>& pieces) {
  std::string joined;
  for (const auto& p : pieces) joined += p.text;
  size_t at = joined.find(SILENCE);
  if (at == std::string::npos) return;
  std::vector<bool> gone(joined.size(), false);
  for (; at != std::string::npos; at = joined.find(SILENCE, at + SILENCE.size()))
    std::fill_n(gone.begin() + static_cast<long>(at), SILENCE.size(), true);
  size_t offset = 0;
  for (auto& p : pieces) {
    std::string kept;
    for (size_t k = 0; k < p.text.size(); ++k)
      if (!gone[offset + k]) kept += p.text[k];
    offset += p.text.size();
    p.text = std::move(kept);
  }
}

// A token's bytes in the transcript's text, and its time.
struct Timed {
  size_t begin, end;
  double start, finish;

  // The time at byte `at` of the token, its share of the token's time by bytes.
  double at(size_t byte) const {
    if (byte <= begin) return start;
    if (byte >= end) return finish;
    return start + (finish - start) * static_cast<double>(byte - begin) / static_cast<double>(end - begin);
  }
};

using UTextOwner = std::unique_ptr<UText, decltype(&utext_close)>;

// Where the words of the text start: after the blanks that Unicode's line-breaking rules let a line
// break at, and at the breaks between dictionary words inside the scripts written without blanks
// (ICU's line breaking finds those for Thai, Lao, Khmer and Burmese, but would break Chinese and
// Japanese between any two characters, splitting words; its word breaking knows their words).
std::vector<size_t> wordStarts(const std::string& text) {
  std::vector<size_t> starts;
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return starts;
  starts.push_back(first);
  UErrorCode status = U_ZERO_ERROR;
  UTextOwner utext(utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status), utext_close);
  std::unique_ptr<icu::BreakIterator> lines(icu::BreakIterator::createLineInstance(icu::Locale::getRoot(), status));
  if (U_SUCCESS(status)) lines->setText(utext.get(), status);
  if (U_FAILURE(status)) {
    // Without ICU's data, blanks alone separate words.
    for (size_t at = first + 1; at < text.size(); ++at)
      if (text[at - 1] == ' ' && text[at] != ' ') starts.push_back(at);
    return starts;
  }
  // Dictionary words only where there is text that needs them (most transcripts have none).
  std::vector<int32_t> dictionary;
  bool needed = false;
  for (size_t at = 0; at < text.size() && !needed; ++at)
    needed = static_cast<unsigned char>(text[at]) >= 0xE0 && unspaced(codePointAt(text, at));
  if (needed) {
    std::unique_ptr<icu::BreakIterator> words(icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
    if (U_SUCCESS(status)) words->setText(utext.get(), status);
    if (U_SUCCESS(status))
      for (int32_t p = words->first(); p != icu::BreakIterator::DONE; p = words->next()) dictionary.push_back(p);
  }
  for (int32_t p = lines->following(static_cast<int32_t>(first)); p != icu::BreakIterator::DONE; p = lines->next()) {
    const auto at = static_cast<size_t>(p);
    if (at >= text.size()) break;
    if (text[at - 1] == ' ') {
      starts.push_back(at);
    } else if ((unspaced(codePointBefore(text, at)) || unspaced(codePointAt(text, at))) &&
               std::binary_search(dictionary.begin(), dictionary.end(), p)) {
      starts.push_back(at);
    }
  }
  return starts;
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
  if (!whisper.is_object() || !whisper.contains("transcription") || !whisper["transcription"].is_array()) return words;
  // The transcript as one text, so that the line-breaking rules see every word's neighbours.
  std::string text;
  std::vector<Timed> tokens;
  for (const auto& segment : whisper["transcription"]) {
    if (!segment.is_object()) continue;
    auto pieces = piecesOf(segment);
    dropSilence(pieces);
    bool segmentStart = true;
    for (auto& piece : pieces) {
      std::string t = std::move(piece.text);
      for (char& c : t)
        if (c == '\n' || c == '\r' || c == '\t' || c == '\v' || c == '\f') c = ' ';
      if (t.empty()) continue;
      // Segments meet at a blank, but for the scripts written without blanks.
      if (segmentStart && !text.empty() && text.back() != ' ' && t.front() != ' ' &&
          !(unspaced(codePointBefore(text, text.size())) && unspaced(codePointAt(t, 0))))
        text += ' ';
      segmentStart = false;
      tokens.push_back({text.size(), text.size() + t.size(), piece.start, piece.end});
      text += t;
    }
  }
  const auto starts = wordStarts(text);
  size_t token = 0;
  auto holding = [&](size_t byte) -> const Timed& {
    while (token + 1 < tokens.size() && tokens[token].end <= byte) ++token;
    return tokens[token];
  };
  for (size_t k = 0; k < starts.size(); ++k) {
    const size_t from = starts[k];
    size_t to = k + 1 < starts.size() ? starts[k + 1] : text.size();
    while (to > from && text[to - 1] == ' ') --to;
    Word word;
    // A blank that the rules keep inside a word ("word !" in French) stays one blank.
    for (size_t at = from; at < to; ++at)
      if (text[at] != ' ' || word.text.back() != ' ') word.text += text[at];  // the first is no blank
    if (k > 0 && text[from - 1] != ' ') word.joiner.clear();
    word.start = holding(from).at(from);
    word.end = holding(to - 1).at(to);
    words.push_back(std::move(word));
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
