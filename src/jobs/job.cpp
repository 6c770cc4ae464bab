#include "jobs/job.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <locale.h>

#include <nlohmann/json.hpp>


namespace {

using json = nlohmann::json;

enum class Field {
  none, out, kind, wav, model, whisper, lang, prompt, dtw, modelURL, modelSHA, modelSize, font,
  size, strings, xmlPath, id
};

Field fieldNamed(const std::string& key) {
  static const std::pair<const char*, Field> names[] = {
      {"out", Field::out},         {"kind", Field::kind},         {"wav", Field::wav},
      {"model", Field::model},     {"whisper", Field::whisper},   {"lang", Field::lang},
      {"prompt", Field::prompt},   {"dtw", Field::dtw},           {"modelURL", Field::modelURL},
      {"modelSHA", Field::modelSHA}, {"modelSize", Field::modelSize}, {"font", Field::font},
      {"size", Field::size},       {"strings", Field::strings},   {"xmlPath", Field::xmlPath},
      {"id", Field::id}};
  for (const auto& [name, field] : names)
    if (key == name) return field;
  return Field::none;
}

std::optional<std::string>* stringField(Job& job, Field field) {
  switch (field) {
    case Field::kind: return &job.kind;
    case Field::wav: return &job.wav;
    case Field::model: return &job.model;
    case Field::whisper: return &job.whisper;
    case Field::lang: return &job.lang;
    case Field::prompt: return &job.prompt;
    case Field::dtw: return &job.dtw;
    case Field::modelURL: return &job.modelURL;
    case Field::modelSHA: return &job.modelSHA;
    case Field::font: return &job.font;
    case Field::xmlPath: return &job.xmlPath;
    case Field::id: return &job.id;
    default: return nullptr;
  }
}

// The value of a JSON number's text when it is a whole number within the signed 64-bit range,
// decided on the decimal digits themselves: a double cannot tell -2^63 from -2^63 - 1, nor a
// whole number from one with a small fraction beyond its precision.
std::optional<int64_t> wholeInt64(std::string_view text) {
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  std::string digits;
  int64_t exponent = 0;  // the value is digits × 10^exponent
  size_t at = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) digits += text[at];
  if (at < text.size() && text[at] == '.')
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) digits += text[at], --exponent;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    const bool down = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
    int64_t e = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
      e = std::min<int64_t>(e * 10 + (text[at] - '0'), int64_t{1} << 40);  // far beyond any range
    exponent += down ? -e : e;
  }
  if (at != text.size()) return std::nullopt;
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  while (!digits.empty() && digits.back() == '0') digits.pop_back(), ++exponent;
  if (digits.empty()) return 0;
  if (exponent < 0 || static_cast<int64_t>(digits.size()) + exponent > 19) return std::nullopt;
  digits.append(static_cast<size_t>(exponent), '0');
  unsigned __int128 magnitude = 0;
  for (char c : digits) magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
  const unsigned __int128 limit = static_cast<unsigned __int128>(INT64_MAX) + (negative ? 1 : 0);
  if (magnitude > limit) return std::nullopt;
  return negative ? static_cast<int64_t>(-static_cast<__int128>(magnitude)) : static_cast<int64_t>(magnitude);
}

// True when a JSON number's text overflows a double, which the parser stops at.
bool overflows(const std::string& number) {
  static locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
  return std::isinf(strtod_l(number.c_str(), nullptr, c));
}

// True when `text` is exactly one JSON number.
bool isNumber(std::string_view text) {
  size_t at = 0;
  const auto digits = [&] {
    const size_t start = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    return at > start;
  };
  if (at < text.size() && text[at] == '-') ++at;
  if (at < text.size() && text[at] == '0') ++at;
  else if (!digits()) return false;
  if (at < text.size() && text[at] == '.' && (++at, !digits())) return false;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    if (!digits()) return false;
  }
  return at == text.size();
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Hands the job text to the parser byte by byte, except that a number too large for a double
// goes as "0" and its place among the document's numbers is noted: the parser would end the
// whole document at it, where only a known key's value may fail.
class Source {
 public:
  explicit Source(std::string_view text) : text_(text) {}

  // The next byte (0 to 255), or -1 at the end.
  int next() {
    if (at_ == text_.size()) return -1;
    const char c = text_[at_];
    const int byte = static_cast<unsigned char>(c);
    if (at_ < tokenEnd_) return ++at_, byte;  // inside a number token, already looked at
    if (!inString_ && isBlank(c)) {
      // A run of blanks between tokens goes over as one: the parser keeps every byte between two
      // tokens for its messages, which for a file of blanks would take several times its size.
      while (++at_ < text_.size() && isBlank(text_[at_])) {
      }
      return byte;
    }
    if (inString_) {
      if (escaped_) escaped_ = false;
      else if (c == '\\') escaped_ = true;
      else if (c == '"') inString_ = false;
    } else if (c == '"') {
      inString_ = true;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      size_t end = at_;
      while (end < text_.size() && std::string_view("0123456789+-.eE").find(text_[end]) != std::string_view::npos) ++end;
      const std::string token(text_.substr(at_, end - at_));
      if (isNumber(token)) {
        if (overflows(token)) {
          overflowed.push_back(numbers_);
          at_ = end;
          ++numbers_;
          return '0';
        }
        ++numbers_;
      }
      tokenEnd_ = end;
    }
    return ++at_, byte;
  }

  std::vector<size_t> overflowed;  // the places, counted from 0, of the numbers handed over as 0

 private:
  std::string_view text_;
  size_t at_ = 0, tokenEnd_ = 0, numbers_ = 0;
  bool inString_ = false, escaped_ = false;
};

// The parser reads the Source through this input iterator.
class SourceIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = char;

  SourceIterator() = default;
  explicit SourceIterator(Source* source) : source_(source) { advance(); }
  char operator*() const { return static_cast<char>(current_); }
  SourceIterator& operator++() { return advance(), *this; }
  bool operator==(const SourceIterator& other) const { return atEnd() == other.atEnd(); }
  bool operator!=(const SourceIterator& other) const { return !(*this == other); }

 private:
  void advance() { current_ = source_ ? source_->next() : -1; }
  bool atEnd() const { return current_ < 0; }

  Source* source_ = nullptr;
  int current_ = -1;
};

// Streams the document and keeps only the known keys of the top-level object, so that values
// under unknown keys (however large or deeply nested) are checked for syntax but never stored.
class Decoder : public nlohmann::json_sax<json> {
 public:
  explicit Decoder(const std::vector<size_t>& overflowed) : overflowed_(overflowed) {}

  Job job;
  bool sawOut = false;

  bool null() override {
    if (depth_ == 0 || inStrings()) return false;
    if (!atField()) return true;
    if (field_ == Field::out) return false;
    clear(field_);
    return true;
  }
  bool boolean(bool) override { return depth_ != 0 && !atField() && !inStrings(); }
  bool number_integer(number_integer_t v) override {
    if (!number()) return false;
    if (!atField()) return true;
    if (field_ == Field::modelSize) return job.modelSize = v, true;
    if (field_ == Field::size) return job.size = static_cast<double>(v), true;
    return false;
  }
  bool number_unsigned(number_unsigned_t v) override {
    if (!number()) return false;
    if (!atField()) return true;
    if (field_ == Field::modelSize) {
      if (v > static_cast<number_unsigned_t>(std::numeric_limits<int64_t>::max())) return false;
      return job.modelSize = static_cast<int64_t>(v), true;
    }
    if (field_ == Field::size) return job.size = static_cast<double>(v), true;
    return false;
  }
  bool number_float(number_float_t v, const string_t& text) override {
    if (!number()) return false;
    if (!atField()) return true;
    if (field_ == Field::size) return job.size = v, true;
    // Whole numbers only (5.0 and 1e3 are whole, 5.5 is not), within the signed 64-bit range.
    if (field_ == Field::modelSize) return (job.modelSize = wholeInt64(text)).has_value();
    return false;
  }
  bool string(string_t& v) override {
    if (depth_ == 0) return false;
    if (inStrings()) return job.strings->push_back(v), true;
    if (!atField()) return true;
    if (field_ == Field::out) return job.out = std::move(v), sawOut = true, true;
    if (auto* target = stringField(job, field_)) return *target = std::move(v), true;
    return false;
  }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override {
    if (depth_ == 1 && field_ != Field::none) return false;  // no known key holds an object
    if (depth_ == 2 && stringsOpen_) return false;
    return ++depth_ <= MAX_NESTING;
  }
  bool end_object() override {
    --depth_;
    if (depth_ == 1) field_ = Field::none;
    return true;
  }
  bool start_array(std::size_t) override {
    if (depth_ == 0) return false;
    if (depth_ == 1 && field_ != Field::none) {
      if (field_ != Field::strings) return false;
      job.strings.emplace();
      stringsOpen_ = true;
    } else if (stringsOpen_) {
      return false;  // a nested array inside "strings"
    }
    return ++depth_ <= MAX_NESTING;
  }
  bool end_array() override {
    --depth_;
    if (depth_ == 1) {
      stringsOpen_ = false;
      field_ = Field::none;
    }
    return true;
  }
  bool key(string_t& k) override {
    if (depth_ == 1) field_ = fieldNamed(k);
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  // A scalar value directly under a key of the top-level object.
  bool atField() const { return depth_ == 1 && field_ != Field::none && !stringsOpen_; }
  bool inStrings() const { return stringsOpen_ && depth_ == 2; }
  // Counts the number among the document's numbers; false where a number cannot stand, or where
  // one that overflowed a double would be a value in use.
  bool number() {
    const bool overflowed = next_ < overflowed_.size() && overflowed_[next_] == count_;
    next_ += overflowed;
    ++count_;
    if (depth_ == 0 || inStrings()) return false;
    return !(overflowed && atField());
  }
  void clear(Field f) {
    if (auto* target = stringField(job, f)) target->reset();
    if (f == Field::modelSize) job.modelSize.reset();
    if (f == Field::size) job.size.reset();
    if (f == Field::strings) job.strings.reset();
  }

  const std::vector<size_t>& overflowed_;
  size_t count_ = 0, next_ = 0;
  int depth_ = 0;
  Field field_ = Field::none;
  bool stringsOpen_ = false;
};

}  // namespace

std::optional<Job> decodeJob(std::string_view bytes) {
  // A NUL byte can stand nowhere in JSON text; the parser would take it for the end of the input.
  if (bytes.find('\0') != std::string_view::npos) return std::nullopt;
  Source source(bytes);
  Decoder decoder(source.overflowed);
  bool ok = false;
  try {
    ok = json::sax_parse(SourceIterator(&source), SourceIterator(), &decoder, json::input_format_t::json, true);
  } catch (...) {
    ok = false;
  }
  if (!ok || !decoder.sawOut) return std::nullopt;
  return std::move(decoder.job);
}
