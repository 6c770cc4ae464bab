// Text measurement in the installed fonts.
#pragma once

#include <vector>

#include "jobs/job.h"

// The width in points of each of the job's strings drawn in its font and size, in order: the
// widest line's sum of advances, unrounded, as the desktop's text system lays the line out (the
// font's default features; characters and clusters the font lacks in the face the text system
// falls back to, emoji in the colour emoji face; tabs at left stops every 28 points; other
// control characters without width). A size of 0 or below, or one that is no number, means 12.
// Throws Failure "measure needs font, size, strings" or "The font <name> isn't installed on this Mac".
std::vector<double> measure(const Job& job);
