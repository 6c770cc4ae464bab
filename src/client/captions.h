// Captions from a transcript: the words and their times, cues whose lines fit a width measured in
// the real font, and the SRT and WebVTT texts.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// One spoken word: its text (never empty, no white space at either end), what joins it to the
// word before ("" between the characters of scripts written without spaces, else " "), and its
// time in seconds.
struct Word {
  std::string text;
  std::string joiner = " ";
  double start = 0;
  double end = 0;
};

// The words of whisper-cli's JSON transcript (the "whisper" of a transcription result), in order.
// Tokens join into words at their leading blanks; special tokens ("[_BEG_]", "[_TT_150]", ...)
// are dropped. A word starts at its first token's DTW time ("t_dtw", in hundredths of a second)
// when there is one, else at the token's offset, and ends at its last token's end offset, never
// after the next word starts nor past `audioEnd`. Tokens that cannot stand alone as UTF-8 (a
// character split across tokens arrives as U+FFFD) take their text from the segment's text.
std::vector<Word> wordsOf(const nlohmann::json& whisper, double audioEnd);

struct CaptionRules {
  double width = 0;            // points; every line is at most this wide
  int lines = 2;               // at most this many lines a cue
  double maxCps = 17;          // reading speed: characters a second, at most
  double minDuration = 0.8;    // seconds a cue is shown, at least...
  double maxDuration = 7;      // ...and at most
  double gap = 0.08;           // seconds between cues, at least (two frames at 25 fps)
  double pause = 0.5;          // a silence this long between words counts as a pause
};

struct Cue {
  long long startMs = 0;
  long long endMs = 0;
  std::vector<std::string> lines;
};

// Gives the widths in points of many strings at once, in order (one measure job); throws on
// failure.
using Measurer = std::function<std::vector<double>(const std::vector<std::string>&)>;

// The cues for the words, inside 0 .. audioEnd seconds. Every line is measured (by `measure`) to be
// at most rules.width, except a line holding one word that is wider by itself. Measures in a few
// batches: the words alone first, then the lines chosen, again until every chosen line fits.
std::vector<Cue> makeCues(const std::vector<Word>& words, double audioEnd, const CaptionRules& rules,
                          const Measurer& measure);

std::string srt(const std::vector<Cue>& cues);
std::string webVtt(const std::vector<Cue>& cues);

// The number of user-perceived characters (grapheme clusters) in UTF-8 text.
size_t characters(const std::string& text);
