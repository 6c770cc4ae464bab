#include "jobs/utf8.h"

namespace {

// Length of the well-formed sequence at the start of `s` (1 to 4), or 0 when there is none; then
// `bad` is the length of the maximal ill-formed subpart (at least 1), which one U+FFFD stands for.
size_t sequence(std::string_view s, size_t& bad) {
  unsigned char low, high;
  const size_t length = utf8Lead(static_cast<unsigned char>(s[0]), low, high);
  if (length == 0) {
    bad = 1;
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    const auto byte = i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
    if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) {
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

int32_t nextCodePoint(std::string_view bytes, size_t& at) {
  size_t bad = 0;
  const size_t n = at < bytes.size() ? sequence(bytes.substr(at), bad) : 0;
  if (n == 0) {
    ++at;
    return -1;
  }
  static constexpr unsigned char LEAD_BITS[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  int32_t c = static_cast<unsigned char>(bytes[at]) & LEAD_BITS[n];
  for (size_t i = 1; i < n; ++i) c = c << 6 | (static_cast<unsigned char>(bytes[at + i]) & 0x3F);
  at += n;
  return c;
}

std::vector<int32_t> codePoints(std::string_view bytes) {
  std::vector<int32_t> out;
  for (size_t at = 0; at < bytes.size();) {
    const int32_t c = nextCodePoint(bytes, at);
    out.push_back(c < 0 ? 0xFFFD : c);
  }
  return out;
}
