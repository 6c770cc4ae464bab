// Well-formed UTF-8: what the result writer needs of every text, and what texts from outside (a
// child's output, a file, a path) are checked, repaired or read against. The one reading of
// UTF-8 in the house: a streaming reader builds on utf8Lead(), everyone else on the functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The length of the sequence that `lead` begins (1 to 4; 0 when it begins none) and the range of
// its second byte: the later bytes are 0x80 to 0xBF. What makes overlong forms, surrogates and
// values beyond U+10FFFF ill-formed.
constexpr unsigned utf8Lead(unsigned char lead, unsigned char& low, unsigned char& high) {
  low = 0x80;
  high = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    return 4;
  }
  return 0;
}

// True when the bytes are well-formed UTF-8.
bool isUtf8(std::string_view bytes);

// The bytes with each maximal ill-formed subsequence replaced by one U+FFFD, so that a text that
// came from outside can always be written.
std::string repairUtf8(std::string_view bytes);

// The code point that starts at byte `at`, moving `at` past it; -1 when no well-formed sequence
// starts there, `at` then moving one byte on.
int32_t nextCodePoint(std::string_view bytes, size_t& at);

// The code points of the bytes, a byte that starts no well-formed sequence read as U+FFFD.
std::vector<int32_t> codePoints(std::string_view bytes);
