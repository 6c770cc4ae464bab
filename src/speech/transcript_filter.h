// The JSON transcript file that whisper-cli writes, passed on into the result.
#pragma once

#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "jobs/job.h"

// Passes the transcript file through on its way into the result, chunk by chunk, without holding
// it: checks that it is one JSON document whose top level is an object or an array nested at most
// MAX_NESTING deep, and gives it compact (no white space outside strings) with every "/"
// written as "\/". whisper-cli escapes only quotes and backslashes inside its strings, so a token
// may carry raw control characters or bytes that are not UTF-8: inside strings those are written
// as escapes ("\n", "\u0001") and U+FFFD (one per maximal ill-formed subsequence). Escapes,
// numbers and literals pass as whisper-cli wrote them, once checked; a number too large for a
// double is refused, as a parser into doubles would refuse it.
class TranscriptFilter {
 public:
  TranscriptFilter();

  // Checks the next chunk and hands its compact form to `sink`, in pieces that are valid only
  // during the call. False as soon as the bytes so far cannot begin a transcript, or `sink`
  // returns false; the filter is then spent.
  bool feed(std::string_view chunk, const std::function<bool(std::string_view)>& sink);

  // True when the chunks fed so far make one whole transcript.
  bool finish() const;

 private:
  bool step(const unsigned char* p, const unsigned char* end, char*& w);
  // The readers of the states: each reads from `p` on (at least one byte, or it moves to a state
  // whose reader does), writes the compact form at `w`, advances both and sets the next `state`.
  // False when the bytes cannot be part of a transcript.
  bool byteOrderMark(const unsigned char*& p, const unsigned char* end, char*& w, uint8_t& state);
  bool token(const unsigned char*& p, const unsigned char* end, char*& w, uint8_t& state);
  bool inString(const unsigned char*& p, const unsigned char* end, char*& w, uint8_t& state);
  bool sequence(const unsigned char*& p, const unsigned char* end, char*& w, uint8_t& state);
  bool escape(const unsigned char*& p, const unsigned char* end, char*& w, uint8_t& state);
  bool hexDigit(const unsigned char*& p, const unsigned char* end, char*& w, uint8_t& state);
  bool lowSurrogate(const unsigned char*& p, const unsigned char* end, char*& w, uint8_t& state);
  bool minus(const unsigned char*& p, const unsigned char* end, char*& w, uint8_t& state);
  bool digits(const unsigned char*& p, const unsigned char* end, char*& w, uint8_t& state);
  bool afterDigits(const unsigned char*& p, const unsigned char* end, char*& w, uint8_t& state);
  bool firstDigit(const unsigned char*& p, const unsigned char* end, char*& w, uint8_t& state);
  bool exponentMark(const unsigned char*& p, const unsigned char* end, char*& w, uint8_t& state);
  bool literal(const unsigned char*& p, const unsigned char* end, char*& w, uint8_t& state);
  bool push(bool object);
  void keepDigits(const unsigned char* first, const unsigned char* last, bool integer);
  bool numberFits() const;

  std::unique_ptr<char[]> out_;
  uint8_t state_;
  bool key_ = false;                 // the string being read is an object's key
  size_t depth_ = 0;
  std::bitset<MAX_NESTING> objects_;  // for each open level, whether it is an object
  // A multi-byte sequence cut by the end of a chunk.
  unsigned char pending_[4];
  uint8_t pendingLength_ = 0, pendingNeed_ = 0;
  // A \u escape: digits still to come, its value, and whether it must be a low surrogate.
  uint8_t hexLeft_ = 0;
  uint32_t code_ = 0;
  bool low_ = false;
  // A literal: the letters still to come.
  const char* literal_ = nullptr;
  // A number, kept only as far as needed to tell whether it fits a double: its leading
  // significant digits, whether a non-zero digit follows them, the count of its integer digits,
  // the zeros between the point and the first significant digit, and its exponent.
  char digits_[24];
  uint8_t digitCount_ = 0;
  bool moreDigits_ = false;
  uint64_t integerDigits_ = 0, leadingZeros_ = 0;
  int64_t exponent_ = 0;
  bool negativeExponent_ = false;
};
