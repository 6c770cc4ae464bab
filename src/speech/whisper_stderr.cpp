#include "speech/whisper_stderr.h"

#include <limits>
#include <vector>

#include <utf8proc.h>

#include "jobs/utf8.h"

namespace {

// ICU's \s: [\t\n\f\r\p{Z}].
bool isSpace(utf8proc_int32_t c) {
  if (c == '\t' || c == '\n' || c == '\f' || c == '\r') return true;
  const auto category = utf8proc_category(c);
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
         category == UTF8PROC_CATEGORY_ZP;
}

}  // namespace

std::optional<int64_t> lastProgress(std::string_view chunk) {
  static constexpr std::string_view KEY = "progress =";
  size_t from = chunk.size();
  while (from > 0) {
    size_t found = chunk.rfind(KEY, from - 1);
    if (found == std::string_view::npos) return std::nullopt;
    from = found;
    size_t at = found + KEY.size();
    size_t digitsStart = at;
    utf8proc_int32_t c = nextCodePoint(chunk, at);
    while (c >= 0 && isSpace(c)) {
      digitsStart = at;
      c = nextCodePoint(chunk, at);
    }
    std::string digits;
    bool ascii = true;
    size_t end = digitsStart;
    while (c >= 0 && utf8proc_category(c) == UTF8PROC_CATEGORY_ND) {
      digits.append(chunk.substr(end, at - end));
      ascii = ascii && c >= '0' && c <= '9';
      end = at;
      c = nextCodePoint(chunk, at);
    }
    if (digits.empty() || c != '%') continue;  // no match here; an earlier one may match
    // The last match decides, even when its number cannot be read.
    if (!ascii) return std::nullopt;
    int64_t value = 0;
    for (char d : digits) {
      if (value > (std::numeric_limits<int64_t>::max() - (d - '0')) / 10) return std::nullopt;
      value = value * 10 + (d - '0');
    }
    return value;
  }
  return std::nullopt;
}

void StderrTail::append(std::string_view text) {
  text_ += text;
  // Cluster boundaries depend on what comes before, so the kept text is segmented afresh each
  // time; it is never longer than `limit_` clusters plus one chunk.
  std::vector<size_t> starts(limit_);
  size_t count = 0;
  utf8proc_int32_t previous = -1;
  utf8proc_int32_t state = 0;
  size_t at = 0;
  while (at < text_.size()) {
    const size_t here = at;
    utf8proc_int32_t c = nextCodePoint(text_, at);
    if (c < 0) continue;  // cannot happen for valid input
    if (previous < 0 || utf8proc_grapheme_break_stateful(previous, c, &state)) {
      if (limit_ > 0) starts[count % limit_] = here;
      ++count;
    }
    previous = c;
  }
  if (count > limit_) text_.erase(0, limit_ == 0 ? text_.size() : starts[(count - limit_) % limit_]);
}

std::string StderrTail::summary() const {
  std::vector<std::string_view> lines;
  std::string_view rest = text_;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    if (!line.empty()) lines.push_back(line);
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  std::string out;
  for (size_t i = lines.size() > 3 ? lines.size() - 3 : 0; i < lines.size(); ++i) {
    if (!out.empty()) out += " | ";
    out += lines[i];
  }
  return out;
}
