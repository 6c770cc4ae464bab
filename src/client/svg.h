// The loudness envelope drawn as an SVG picture.
#pragma once

#include <string>
#include <vector>

// The levels (dB, one every `hop` seconds) as a filled curve over a time axis, with a dB scale
// from the quietest level shown (at most -60 dB, never below `floor`) up to 0 dB. Long envelopes
// are drawn at one point per pixel column, each the loudest level in it.
std::string envelopeSvg(const std::vector<double>& db, double hop, double floor);
