#include "jobs/utf8.h"

namespace {

// Length of the well-formed sequence at the start of `s` (1 to 4), or 0 when there is none; then
// `bad` is the length of the maximal ill-formed subpart (at least 1), which one U+FFFD stands for.
size_t sequence(std::string_view s, size_t& bad) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(0);
  if (b0 < 0x80) return 1;
  size_t length = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    bad = 1;
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    const bool ok = i < s.size() && byte(i) >= (i == 1 ? lo : 0x80) && byte(i) <= (i == 1 ? hi : 0xBF);
    if (!ok) {
      bad = i;
      return 0;
    }
  }
  return length;
}

}  // namespace

bool isUtf8(std::string_view bytes) {
  size_t at = 0, bad = 0;
  while (at < bytes.size()) {
    size_t n = sequence(bytes.substr(at), bad);
    if (n == 0) return false;
    at += n;
  }
  return true;
}

std::string repairUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t at = 0;
  while (at < bytes.size()) {
    size_t bad = 0;
    size_t n = sequence(bytes.substr(at), bad);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      at += bad;
    } else {
      out.append(bytes.substr(at, n));
      at += n;
    }
  }
  return out;
}
