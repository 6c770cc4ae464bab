// Cues for the words of a transcript: where each cue starts and ends, and where its lines break,
// so that every line fits a width measured in the real font and reads as a subtitler breaks it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "client/words.h"

struct CaptionRules {
  double width = 0;            // points; every line is at most this wide
  int lines = 2;               // at most this many lines a cue
  double maxCps = 17;          // reading speed: characters a second, at most
  double minDuration = 0.8;    // seconds a cue is shown, at least...
  double maxDuration = 7;      // ...and at most
  double gap = 0.08;           // seconds between cues, at least (two frames at 25 fps)
  double pause = 0.5;          // a silence this long between words counts as a pause
  double fps = 0;              // frames a second: times fall on frames, cues two frames apart at least
};

struct Cue {
  long long startMs = 0;
  long long endMs = 0;
  std::vector<std::string> lines;
};

// Gives the widths in points of many strings at once, in order (one measure job); throws on
// failure.
using MeasureStrings = std::function<std::vector<double>(const std::vector<std::string>&)>;

// The cues for the words, inside 0 .. audioEnd seconds (infinity when the audio's length is not
// known: the last cue then stays as long as reading it takes). Every line is measured (by
// `measure`) to be at most rules.width, except a line holding one word that is wider by itself.
// Measures in a few batches: the words alone first, then the lines chosen, again until every
// chosen line fits.
//
// Cues and the lines inside them break by the same preferences: after a sentence, then after
// clause punctuation, then before a conjunction; never after an article, a preposition, an
// auxiliary or a conjunction, nor between a given name and a surname, where another break will
// do. A cue takes as few lines as its words fit in, one word alone on a line only where nothing
// else fits, and among equally good breaks the one whose longest line is the shortest.
std::vector<Cue> makeCues(const std::vector<Word>& words, double audioEnd, const CaptionRules& rules,
                          const MeasureStrings& measure);
