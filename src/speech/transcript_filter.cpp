#include "speech/transcript_filter.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "jobs/utf8.h"

namespace {

// Input read in one step, so that the output of a step (at most six bytes for an input byte, a
// raw control character written as an escape) fits the filter's buffer.
constexpr size_t SLICE = size_t{1} << 18;
constexpr size_t OUT_CAPACITY = 6 * SLICE + 64;

enum State : uint8_t {
  START,           // nothing read yet: a byte order mark may come
  BOM,             // inside a byte order mark
  TOP,             // before the top level, which must be an object or an array
  VALUE,           // a value must come
  VALUE_OR_CLOSE,  // after "[": a value or "]"
  KEY,             // after "," in an object: a key must come
  KEY_OR_CLOSE,    // after "{": a key or "}"
  COLON,           // after a key
  AFTER,           // after a value: "," or the closing bracket of its level
  END,             // after the top level: only white space
  STRING,
  ESCAPE,          // after a backslash in a string
  HEX,             // inside the four digits of a \u escape
  LOW_BACKSLASH,   // after a high surrogate's escape, whose low surrogate must follow
  LOW_U,
  SEQUENCE,        // inside a multi-byte sequence that the end of a chunk cut
  MINUS,
  ZERO,
  INTEGER,
  POINT,
  FRACTION,
  EXPONENT_MARK,
  EXPONENT_SIGN,
  EXPONENT_DIGITS,
  LITERAL,
  FAILED,
};

constexpr auto SPACES = [] {
  std::array<bool, 256> table{};
  for (unsigned char c : {' ', '\n', '\r', '\t'}) table[c] = true;
  return table;
}();
constexpr bool isJsonSpace(unsigned char c) { return SPACES[c]; }
constexpr bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// Bytes inside a string that are copied as they are: not a quote, a backslash, a "/", a control
// character or part of a multi-byte sequence.
constexpr auto PLAIN = [] {
  std::array<bool, 256> table{};
  for (unsigned c = 0x20; c < 0x80; ++c) table[c] = c != '"' && c != '\\' && c != '/';
  return table;
}();
constexpr bool isPlain(unsigned char c) { return PLAIN[c]; }

// Sixteen bytes are looked at in one step where SSE2 is there (every x86-64 processor has it).
constexpr size_t BLOCK = 16;

#if defined(__SSE2__)
unsigned firstMarked(int mask) { return static_cast<unsigned>(std::countr_zero(static_cast<unsigned>(mask) | 0x10000)); }

// The offset of the first byte of p[0..16) that is not plain; 16 when all are.
unsigned plainPrefix(const unsigned char* p) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  // Signed, bytes of 0x80 and above are below 0x20 too.
  const __m128i marked = _mm_or_si128(
      _mm_or_si128(_mm_cmplt_epi8(x, _mm_set1_epi8(0x20)), _mm_cmpeq_epi8(x, _mm_set1_epi8('"'))),
      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\\')), _mm_cmpeq_epi8(x, _mm_set1_epi8('/'))));
  return firstMarked(_mm_movemask_epi8(marked));
}

// The offset of the first byte of p[0..16) that is not white space; 16 when all are.
unsigned spacePrefix(const unsigned char* p) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i space = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\n'))),
      _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\t')), _mm_cmpeq_epi8(x, _mm_set1_epi8('\r'))));
  return firstMarked(~_mm_movemask_epi8(space) & 0xFFFF);
}
#else
unsigned plainPrefix(const unsigned char* p) {
  unsigned n = 0;
  while (n < BLOCK && isPlain(p[n])) ++n;
  return n;
}

unsigned spacePrefix(const unsigned char* p) {
  unsigned n = 0;
  while (n < BLOCK && isJsonSpace(p[n])) ++n;
  return n;
}
#endif

void putReplacement(char*& w) {
  std::memcpy(w, "\xEF\xBF\xBD", 3);
  w += 3;
}

// A raw control character as the short escape JSON has for it, else as \u00XX: the forms the
// result writer's JSON library gives them, so a repaired transcript reads as one the writer made.
void putControl(char*& w, unsigned char c) {
  static constexpr char SHORT[] = "btnvfr";  // 0x08 to 0x0D; \v has no short form
  if (c >= 0x08 && c <= 0x0D && c != 0x0B) {
    *w++ = '\\';
    *w++ = SHORT[c - 0x08];
    return;
  }
  static constexpr char HEX[] = "0123456789abcdef";
  std::memcpy(w, "\\u00", 4);
  w[4] = HEX[c >> 4];
  w[5] = HEX[c & 15];
  w += 6;
}

}  // namespace

TranscriptFilter::TranscriptFilter() : out_(new char[OUT_CAPACITY]), state_(START) {}

bool TranscriptFilter::finish() const { return state_ == END; }

bool TranscriptFilter::feed(std::string_view chunk, const std::function<bool(std::string_view)>& sink) {
  auto p = reinterpret_cast<const unsigned char*>(chunk.data());
  const auto end = p + chunk.size();
  while (p < end && state_ != FAILED) {
    const auto stop = p + std::min(static_cast<size_t>(end - p), SLICE);
    char* w = out_.get();
    if (!step(p, stop, w)) state_ = FAILED;
    else if (w != out_.get() && !sink(std::string_view(out_.get(), static_cast<size_t>(w - out_.get()))))
      state_ = FAILED;
    p = stop;
  }
  return state_ != FAILED;
}

bool TranscriptFilter::push(bool object) {
  if (depth_ == static_cast<size_t>(MAX_NESTING)) return false;
  objects_[depth_++] = object;
  return true;
}

bool TranscriptFilter::numberFits() const {
  if (digitCount_ == 0) return true;  // zero
  // The decimal exponent of the first significant digit.
  int64_t e = integerDigits_ > 0 ? static_cast<int64_t>(integerDigits_) - 1 : -static_cast<int64_t>(leadingZeros_) - 1;
  e += negativeExponent_ ? -exponent_ : exponent_;
  if (e != 308) return e < 308;
  // Between 1e308 and 1e309 the leading digits decide, rounded as a parser rounds them.
  char text[sizeof digits_ + 8];
  char* t = text;
  *t++ = digits_[0];
  *t++ = '.';
  t = std::copy(digits_ + 1, digits_ + digitCount_, t);
  if (moreDigits_) *t++ = '1';
  t = std::copy_n("e308", 4, t);
  double value;
  return std::from_chars(text, t, value).ec == std::errc();
}

void TranscriptFilter::keepDigits(const unsigned char* first, const unsigned char* last, bool integer) {
  if (integer) integerDigits_ += static_cast<uint64_t>(last - first);
  if (digitCount_ == 0 && !moreDigits_)  // only a fraction's leading zeros come here
    for (; first < last && *first == '0'; ++first) ++leadingZeros_;
  const size_t kept = std::min(static_cast<size_t>(last - first), sizeof digits_ - digitCount_);
  std::copy_n(first, kept, digits_ + digitCount_);
  digitCount_ = static_cast<uint8_t>(digitCount_ + kept);
  moreDigits_ = moreDigits_ || std::find_if(first + kept, last, [](unsigned char c) { return c != '0'; }) != last;
}

// Inlined into step(), so that the position, the output and the state stay in registers.
[[gnu::always_inline]] inline bool
TranscriptFilter::byteOrderMark(const unsigned char*& p, const unsigned char*, char*&, uint8_t& s) {
  if (s == START) {
    if (*p == 0xEF) {
      ++p;
      hexLeft_ = 2;
      s = BOM;
    } else {
      s = TOP;
    }
    return true;
  }
  if (*p++ != (hexLeft_ == 2 ? 0xBB : 0xBF)) return false;
  if (--hexLeft_ == 0) s = TOP;
  return true;
}

[[gnu::always_inline]] inline bool
TranscriptFilter::token(const unsigned char*& p, const unsigned char* const end, char*& w, uint8_t& s) {
  // Pretty-printed transcripts mostly have no white space or one blank between tokens, and
  // longer runs only at the start of a line.
  if (isJsonSpace(*p)) {
    // Byte by byte first: the branches predict well and let the processor run ahead, where
    // a block's count would hold it up; long runs go by blocks.
    const unsigned char* const stop = p + std::min<ptrdiff_t>(end - p, BLOCK);
    while (++p < stop && isJsonSpace(*p)) {
    }
    if (p == stop)
      for (unsigned n = BLOCK; n == BLOCK && end - p >= static_cast<ptrdiff_t>(BLOCK); p += n) n = spacePrefix(p);
    while (p < end && isJsonSpace(*p)) ++p;
    if (p == end) return true;
  }
  const unsigned char c = *p++;
  switch (s) {
    case AFTER:
      if (c == ',') {
        *w++ = ',';
        s = objects_[depth_ - 1] ? KEY : VALUE;
        return true;
      }
      break;
    case COLON:
      if (c != ':') return false;
      *w++ = ':';
      s = VALUE;
      return true;
    case KEY:
    case KEY_OR_CLOSE:
      if (c == '"') {
        *w++ = '"';
        key_ = true;
        s = STRING;
        return true;
      }
      if (s == KEY) return false;
      break;
    case TOP:
      if (c != '{' && c != '[') return false;
      break;
    case END:
      return false;
    default:  // VALUE, VALUE_OR_CLOSE
      break;
  }
  if (c == '}' || c == ']') {  // after a value, or at once after the opening bracket
    if (s == VALUE || s == TOP || objects_[depth_ - 1] != (c == '}') || (s == VALUE_OR_CLOSE && c == '}') ||
        (s == KEY_OR_CLOSE && c == ']'))
      return false;
    *w++ = static_cast<char>(c);
    s = --depth_ == 0 ? END : AFTER;
  } else if (s == AFTER || s == KEY_OR_CLOSE) {
    return false;
  } else if (c == '"') {  // the rest are values
    *w++ = '"';
    key_ = false;
    s = STRING;
  } else if (c == '-' || isDigit(c)) {
    digitCount_ = 0;
    moreDigits_ = false;
    integerDigits_ = leadingZeros_ = 0;
    exponent_ = 0;
    negativeExponent_ = false;
    if (c == '-' || c == '0') {
      *w++ = static_cast<char>(c);
      s = c == '-' ? MINUS : ZERO;
    } else {
      --p;  // read with the other integer digits
      s = INTEGER;
    }
  } else if (c == '{' || c == '[') {
    if (!push(c == '{')) return false;
    *w++ = static_cast<char>(c);
    s = c == '{' ? KEY_OR_CLOSE : VALUE_OR_CLOSE;
  } else if (c == 't' || c == 'f' || c == 'n') {
    *w++ = static_cast<char>(c);
    literal_ = c == 't' ? "rue" : c == 'f' ? "alse" : "ull";
    s = LITERAL;
  } else {
    return false;
  }
  return true;
}

[[gnu::always_inline]] inline bool
TranscriptFilter::inString(const unsigned char*& p, const unsigned char* const end, char*& w, uint8_t& s) {
  for (;;) {
    // Short strings byte by byte, as white space above; long ones by blocks.
    {
      const unsigned char* const stop = p + std::min<ptrdiff_t>(end - p, BLOCK);
      while (p < stop && isPlain(*p)) *w++ = static_cast<char>(*p++);
      if (p < stop) goto special;
    }
    while (end - p >= static_cast<ptrdiff_t>(BLOCK)) {
      std::memcpy(w, p, BLOCK);  // all are stored; only the plain ones are kept
      const unsigned n = plainPrefix(p);
      p += n;
      w += n;
      if (n < BLOCK) goto special;
    }
    while (p < end && isPlain(*p)) *w++ = static_cast<char>(*p++);
    if (p == end) return true;
  special:
    const unsigned char c = *p;
    if (c == '"') {
      *w++ = '"';
      ++p;
      s = key_ ? COLON : AFTER;
      if (key_ && p < end && *p == ':') {  // as whisper-cli writes its keys
        *w++ = ':';
        ++p;
        s = VALUE;
      }
      return true;
    }
    if (c == '\\') {
      *w++ = '\\';
      ++p;
      s = ESCAPE;
      return true;
    }
    if (c == '/') {
      std::memcpy(w, "\\/", 2);
      w += 2;
      ++p;
      continue;
    }
    if (c < 0x20) {
      putControl(w, c);
      ++p;
      continue;
    }
    unsigned char low, high;
    const unsigned length = utf8Lead(c, low, high);
    if (length == 0) {
      putReplacement(w);
      ++p;
      continue;
    }
    unsigned i = 1;
    while (i < length && p + i < end && p[i] >= (i == 1 ? low : 0x80) && p[i] <= (i == 1 ? high : 0xBF)) ++i;
    if (i == length) {
      std::memcpy(w, p, length);
      w += length;
      p += length;
    } else if (p + i == end) {  // cut by the end of the chunk: the next one decides
      std::memcpy(pending_, p, i);
      pendingLength_ = static_cast<uint8_t>(i);
      pendingNeed_ = static_cast<uint8_t>(length);
      p = end;
      s = SEQUENCE;
      return true;
    } else {  // the maximal ill-formed subsequence, whatever its length, is one U+FFFD
      putReplacement(w);
      p += i;
    }
  }
}

[[gnu::always_inline]] inline bool
TranscriptFilter::sequence(const unsigned char*& p, const unsigned char*, char*& w, uint8_t& s) {
  unsigned char low, high;
  utf8Lead(pending_[0], low, high);
  if (pendingLength_ > 1) low = 0x80, high = 0xBF;
  if (*p >= low && *p <= high) {
    pending_[pendingLength_++] = *p++;
    if (pendingLength_ < pendingNeed_) return true;
    std::memcpy(w, pending_, pendingLength_);
    w += pendingLength_;
  } else {
    putReplacement(w);  // the byte that broke the sequence is read again as itself
  }
  s = STRING;
  return true;
}

[[gnu::always_inline]] inline bool
TranscriptFilter::escape(const unsigned char*& p, const unsigned char*, char*& w, uint8_t& s) {
  const unsigned char c = *p++;
  *w++ = static_cast<char>(c);
  if (c == 'u') {
    hexLeft_ = 4;
    code_ = 0;
    s = HEX;
  } else if (c == '"' || c == '\\' || c == '/' || c == 'b' || c == 'f' || c == 'n' || c == 'r' || c == 't') {
    s = STRING;
  } else {
    return false;
  }
  return true;
}

[[gnu::always_inline]] inline bool
TranscriptFilter::hexDigit(const unsigned char*& p, const unsigned char*, char*& w, uint8_t& s) {
  const auto at = reinterpret_cast<const char*>(p);
  uint32_t digit = 0;
  if (std::from_chars(at, at + 1, digit, 16).ptr != at + 1) return false;
  *w++ = static_cast<char>(*p++);
  code_ = code_ * 16 + digit;
  if (--hexLeft_ > 0) return true;
  const bool highHalf = code_ >= 0xD800 && code_ <= 0xDBFF, lowHalf = code_ >= 0xDC00 && code_ <= 0xDFFF;
  if (low_ != lowHalf) return false;  // a surrogate escape only as a whole pair
  low_ = false;
  s = highHalf ? LOW_BACKSLASH : STRING;
  return true;
}

[[gnu::always_inline]] inline bool
TranscriptFilter::lowSurrogate(const unsigned char*& p, const unsigned char*, char*& w, uint8_t& s) {
  if (*p != (s == LOW_BACKSLASH ? '\\' : 'u')) return false;
  *w++ = static_cast<char>(*p++);
  if (s == LOW_U) {
    hexLeft_ = 4;
    code_ = 0;
    low_ = true;
    s = HEX;
  } else {
    s = LOW_U;
  }
  return true;
}

[[gnu::always_inline]] inline bool
TranscriptFilter::minus(const unsigned char*& p, const unsigned char*, char*& w, uint8_t& s) {
  if (!isDigit(*p)) return false;
  if (*p == '0') {
    *w++ = '0';
    ++p;
    s = ZERO;
  } else {
    s = INTEGER;
  }
  return true;
}

[[gnu::always_inline]] inline bool
TranscriptFilter::digits(const unsigned char*& p, const unsigned char* const end, char*& w, uint8_t& s) {
  const unsigned char* const first = p;
  while (p < end && isDigit(*p)) *w++ = static_cast<char>(*p++);
  if (s == EXPONENT_DIGITS)
    for (const unsigned char* d = first; d < p; ++d) exponent_ = std::min<int64_t>(exponent_ * 10 + (*d - '0'), int64_t{1} << 40);
  else
    keepDigits(first, p, s == INTEGER);
  return p == end || afterDigits(p, end, w, s);
}

[[gnu::always_inline]] inline bool
TranscriptFilter::afterDigits(const unsigned char*& p, const unsigned char*, char*& w, uint8_t& s) {
  if (s != EXPONENT_DIGITS && *p == '.' && (s == ZERO || s == INTEGER)) {
    *w++ = '.';
    ++p;
    s = POINT;
  } else if (s != EXPONENT_DIGITS && (*p == 'e' || *p == 'E')) {
    *w++ = static_cast<char>(*p++);
    s = EXPONENT_MARK;
  } else {  // the number ends before this byte
    if (!numberFits()) return false;
    s = AFTER;
  }
  return true;
}

[[gnu::always_inline]] inline bool
TranscriptFilter::firstDigit(const unsigned char*& p, const unsigned char*, char*&, uint8_t& s) {
  if (!isDigit(*p)) return false;
  s = s == POINT ? FRACTION : EXPONENT_DIGITS;
  return true;
}

[[gnu::always_inline]] inline bool
TranscriptFilter::exponentMark(const unsigned char*& p, const unsigned char*, char*& w, uint8_t& s) {
  if (*p == '+' || *p == '-') {
    negativeExponent_ = *p == '-';
    *w++ = static_cast<char>(*p++);
    s = EXPONENT_SIGN;
  } else if (isDigit(*p)) {
    s = EXPONENT_DIGITS;
  } else {
    return false;
  }
  return true;
}

[[gnu::always_inline]] inline bool
TranscriptFilter::literal(const unsigned char*& p, const unsigned char*, char*& w, uint8_t& s) {
  if (*p != static_cast<unsigned char>(*literal_)) return false;
  *w++ = static_cast<char>(*p++);
  if (*++literal_ == '\0') s = AFTER;
  return true;
}

bool TranscriptFilter::step(const unsigned char* p, const unsigned char* const end, char*& out) {
  char* w = out;
  // The state stays in a local while the bytes are read: the output buffer's bytes might alias
  // a member, so one would be stored and loaded again for every byte written.
  uint8_t s = state_;
  // Each state's reader reads at least one byte or moves to a state whose reader does.
  while (p < end) {
    bool ok;
    switch (s) {
      case START:
      case BOM: ok = byteOrderMark(p, end, w, s); break;
      case TOP:
      case VALUE:
      case VALUE_OR_CLOSE:
      case KEY:
      case KEY_OR_CLOSE:
      case COLON:
      case AFTER:
      case END: ok = token(p, end, w, s); break;
      case STRING: ok = inString(p, end, w, s); break;
      case SEQUENCE: ok = sequence(p, end, w, s); break;
      case ESCAPE: ok = escape(p, end, w, s); break;
      case HEX: ok = hexDigit(p, end, w, s); break;
      case LOW_BACKSLASH:
      case LOW_U: ok = lowSurrogate(p, end, w, s); break;
      case MINUS: ok = minus(p, end, w, s); break;
      case INTEGER:
      case FRACTION:
      case EXPONENT_DIGITS: ok = digits(p, end, w, s); break;
      case ZERO: ok = afterDigits(p, end, w, s); break;
      case POINT:
      case EXPONENT_SIGN: ok = firstDigit(p, end, w, s); break;
      case EXPONENT_MARK: ok = exponentMark(p, end, w, s); break;
      case LITERAL: ok = literal(p, end, w, s); break;
      default: return false;
    }
    if (!ok) return false;
  }
  state_ = s;
  out = w;
  return true;
}
