// The loudness envelope of an audio file.
#pragma once

#include <string>
#include <vector>

inline constexpr double HOP = 0.01;       // seconds per envelope level
inline constexpr double FLOOR = -100.0;   // lowest envelope level in dB

// One level in dB for every HOP seconds of the file's channel average, in tenths, never below
// FLOOR. Throws Failure ("Cannot read <path>: <cause>", "No audio in <path>") or, for a read error
// in the middle of the file, a std::runtime_error naming the file and the cause.
std::vector<double> envelope(const std::string& path);
