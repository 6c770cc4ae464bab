// The words of a transcript: the pieces a caption line may break between, with their times.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// One spoken word: its text (never empty, no white space at either end), what joins it to the
// word before ("" where the script has no blanks between words, else " "), and its time in seconds.
struct Word {
  std::string text;
  std::string joiner = " ";
  double start = 0;
  double end = 0;
};

// The words of whisper-cli's JSON transcript (the "whisper" of a transcription result), in order.
// The words are the stretches between Unicode's line-break opportunities that follow a blank or,
// in the scripts written without blanks (Chinese, Japanese, Thai, Lao, Khmer, Burmese), fall
// between dictionary words. Special tokens ("[_BEG_]", "[_TT_150]", ...) and whisper's marker of
// silence, "[BLANK_AUDIO]", are dropped. A word starts when the token holding its first character
// starts (the token's DTW time, "t_dtw" in hundredths of a second, when there is one, else its
// offset) and ends when the token holding its last character ends (a word that starts or ends
// inside a token takes its share of the token's time by bytes), never after the next word starts
// nor past `audioEnd` (infinity when the audio's length is unknown). Tokens that cannot stand alone
// as UTF-8 (a character split across tokens arrives as U+FFFD) take their text from the segment's
// text.
std::vector<Word> wordsOf(const nlohmann::json& whisper, double audioEnd);

// The number of user-perceived characters (grapheme clusters) in UTF-8 text.
size_t characters(const std::string& text);
