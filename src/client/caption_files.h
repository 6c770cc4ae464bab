// The caption file formats: SubRip (SRT) and WebVTT, their text shown as it was spoken.
#pragma once

#include <string>
#include <vector>

#include "client/cues.h"

// SRT has no escapes, and players read markup into it: HTML-like tags ("<i>", "<font ...>"),
// ASS override blocks ("{\an8}") and ASS line breaks ("\N"). Such text is written so that players
// show it as typed: an invisible word joiner (U+2060) after each "<" and after a backslash that
// would start an ASS escape, and each "{" as "\{", the escape of ASS renderers.
std::string srt(const std::vector<Cue>& cues);

// WebVTT, with "&", "<" and ">" written as character references.
std::string webVtt(const std::vector<Cue>& cues);
