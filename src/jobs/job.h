// The job file record: one JSON object decoded into sixteen fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct Job {
  std::string out;  // the only required field
  std::optional<std::string> kind;
  std::optional<std::string> wav;
  std::optional<std::string> model;
  std::optional<std::string> whisper;
  std::optional<std::string> lang;
  std::optional<std::string> prompt;
  std::optional<std::string> dtw;
  std::optional<std::string> modelURL;
  std::optional<std::string> modelSHA;
  std::optional<int64_t> modelSize;
  std::optional<std::string> font;
  std::optional<double> size;
  std::optional<std::vector<std::string>> strings;
  std::optional<std::string> xmlPath;
  std::optional<std::string> id;
};

// The deepest nesting of arrays and objects accepted in any JSON the helper reads: far beyond
// what a job or a transcript holds, and shallow enough that nothing recursive over it can run out
// of stack.
inline constexpr int MAX_NESTING = 512;

// Decodes the bytes of a job file. Gives nothing when they are not one JSON object, when "out"
// is missing or not a string, or when any known key holds a value of the wrong type (null counts
// as absent; unknown keys are ignored). Never throws, whatever the input.
std::optional<Job> decodeJob(std::string_view bytes);
