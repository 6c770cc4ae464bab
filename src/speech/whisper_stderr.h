// What whisper-cli writes on its standard error that the helper reads: progress lines, and the
// error text kept for a failure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The percentage of the last progress line in a chunk of standard error: the last match of
// "progress =\s*(\d+)%", with \s and \d taken as Unicode white space and decimal digits. Nothing
// when there is no match, or when the last match's number is not ASCII digits within int64.
std::optional<int64_t> lastProgress(std::string_view chunk);

// The end of standard error kept for the failure message: at most the last `limit` user-perceived
// characters (extended grapheme clusters) of all the text appended.
class StderrTail {
 public:
  explicit StderrTail(size_t limit = 2000) : limit_(limit) {}

  // `text` must be valid UTF-8.
  void append(std::string_view text);
  const std::string& text() const { return text_; }

  // The last three non-empty lines joined with " | "; empty for an empty tail.
  std::string summary() const;

 private:
  size_t limit_;
  std::string text_;
};
