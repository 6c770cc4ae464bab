#include "text/measure.h"

#include <hb.h>
#include <utf8proc.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "jobs/failure.h"
#include "jobs/utf8.h"
#include "platform/fonts.h"

namespace {

// The size a font gets when it is asked for at 0 points or below, or at a size that is no number.
constexpr double DEFAULT_SIZE = 12.0;

// A tab moves the pen to the next left tab stop. The platform's default paragraph style has twelve
// of them, every 28 points up to 336; past the last one the stops go on at the same interval, so
// that a tab always ends at the next multiple of 28 points after where it starts.
constexpr double TAB_INTERVAL = 28.0;

// Characters drawn as emoji by default (Emoji_Presentation=Yes, Unicode 15.0), as ranges.
constexpr char32_t EMOJI_PRESENTATION[][2] = {
    {0x231A, 0x231B},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},
    {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},   {0x26D4, 0x26D4},
    {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},   {0x26FA, 0x26FA},   {0x26FD, 0x26FD},
    {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},
    {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F1E6, 0x1F1FF}, {0x1F201, 0x1F201}, {0x1F21A, 0x1F21A},
    {0x1F22F, 0x1F22F}, {0x1F232, 0x1F236}, {0x1F238, 0x1F23A}, {0x1F250, 0x1F251}, {0x1F300, 0x1F320},
    {0x1F32D, 0x1F335}, {0x1F337, 0x1F37C}, {0x1F37E, 0x1F393}, {0x1F3A0, 0x1F3CA}, {0x1F3CF, 0x1F3D3},
    {0x1F3E0, 0x1F3F0}, {0x1F3F4, 0x1F3F4}, {0x1F3F8, 0x1F43E}, {0x1F440, 0x1F440}, {0x1F442, 0x1F4FC},
    {0x1F4FF, 0x1F53D}, {0x1F54B, 0x1F54E}, {0x1F550, 0x1F567}, {0x1F57A, 0x1F57A}, {0x1F595, 0x1F596},
    {0x1F5A4, 0x1F5A4}, {0x1F5FB, 0x1F64F}, {0x1F680, 0x1F6C5}, {0x1F6CC, 0x1F6CC}, {0x1F6D0, 0x1F6D2},
    {0x1F6D5, 0x1F6D7}, {0x1F6DC, 0x1F6DF}, {0x1F6EB, 0x1F6EC}, {0x1F6F4, 0x1F6FC}, {0x1F7E0, 0x1F7EB},
    {0x1F7F0, 0x1F7F0}, {0x1F90C, 0x1F93A}, {0x1F93C, 0x1F945}, {0x1F947, 0x1F9FF}, {0x1FA70, 0x1FA7C},
    {0x1FA80, 0x1FA88}, {0x1FA90, 0x1FABD}, {0x1FABF, 0x1FAC5}, {0x1FACE, 0x1FADB}, {0x1FAE0, 0x1FAE8},
    {0x1FAF0, 0x1FAF8}};

constexpr char32_t TEXT_STYLE = 0xFE0E, EMOJI_STYLE = 0xFE0F, KEYCAP = 0x20E3;

bool emojiByDefault(char32_t c) {
  if (c < EMOJI_PRESENTATION[0][0]) return false;
  const auto* next = std::upper_bound(std::begin(EMOJI_PRESENTATION), std::end(EMOJI_PRESENTATION), c,
                                      [](char32_t c, const auto& range) { return c < range[0]; });
  return c <= next[-1][1];
}

bool isSkinTone(char32_t c) { return c >= 0x1F3FB && c <= 0x1F3FF; }

// Characters that may call for the colour emoji face.
bool asksForEmoji(char32_t c) { return c == EMOJI_STYLE || c == KEYCAP || isSkinTone(c) || emojiByDefault(c); }

// C0 and C1 control characters: the platform lays out a tab at the tab stops and gives the others
// no width at all. Line breaks never reach a line.
bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

bool isIgnorable(char32_t c) { return utf8proc_get_property(utf8proc_int32_t(c))->ignorable; }

bool isLineBreak(std::string_view text, size_t i, size_t& length) {
  const auto byte = [&](size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u; };
  switch (byte(i)) {
    case '\n': case '\v': case '\f': length = 1; return true;
    case '\r': length = byte(i + 1) == '\n' ? 2 : 1; return true;
    case 0xC2: length = 2; return byte(i + 1) == 0x85;                          // NEL
    case 0xE2: length = 3; return byte(i + 1) == 0x80 && (byte(i + 2) == 0xA8 || byte(i + 2) == 0xA9);
    default: return false;
  }
}

bool isStrong(hb_script_t script) {
  return script != HB_SCRIPT_COMMON && script != HB_SCRIPT_INHERITED && script != HB_SCRIPT_UNKNOWN;
}

// A stretch of a line that is shaped in one face and one script (byte offsets in the line).
struct Run {
  unsigned begin = 0;
  unsigned end = 0;
  const fonts::Face* face = nullptr;
  hb_script_t script = HB_SCRIPT_INVALID;  // still open while only common characters came
};

// Measures strings in one face at one size, the way the platform's text system lays them out: a
// grapheme cluster (a character with its marks, an emoji sequence) is drawn in one face, the named
// one when it has the whole cluster, else the colour emoji face for emoji, else the face that
// fontconfig falls back to for it.
class Measurer {
 public:
  Measurer(fonts::Catalog& catalog, const fonts::Face& face, double size)
      : catalog_(catalog), primary_(face), size_(size), buffer_(hb_buffer_create(), hb_buffer_destroy) {
    if (!hb_buffer_allocation_successful(buffer_.get()))
      throw std::runtime_error("Cannot make a HarfBuzz buffer: out of memory");
  }

  // The widest line's width; a line ends at LF, CR, CRLF, VT, FF, NEL, U+2028 and U+2029.
  double width(std::string_view text) {
    double widest = 0;
    size_t start = 0, length = 0;
    for (size_t i = 0; i < text.size();) {
      if (isLineBreak(text, i, length)) {
        widest = std::max(widest, lineWidth(text.substr(start, i - start)));
        i += length;
        start = i;
      } else {
        ++i;
      }
    }
    return std::max(widest, lineWidth(text.substr(start)));
  }

 private:
  double lineWidth(std::string_view line) {
    if (line.empty()) return 0;
    line_ = line;
    hb_buffer_t* b = buffer_.get();
    hb_buffer_clear_contents(b);
    hb_buffer_add_utf8(b, line.data(), int(line.size()), 0, -1);  // bytes that are not UTF-8 give U+FFFD
    unsigned count = 0;
    const hb_glyph_info_t* infos = hb_buffer_get_glyph_infos(b, &count);
    chars_.resize(count);
    offsets_.resize(count + 1);
    for (unsigned i = 0; i < count; ++i) {
      chars_[i] = infos[i].codepoint;
      offsets_[i] = infos[i].cluster;
    }
    offsets_[count] = unsigned(line.size());
    // Control characters split the line into stretches shaped apart.
    double x = 0;
    size_t start = 0;
    for (size_t i = 0; i < count; ++i) {
      if (!isControl(chars_[i])) continue;
      x += stretchWidth(start, i, false);
      if (chars_[i] == '\t') x = (std::floor(x / TAB_INTERVAL) + 1) * TAB_INTERVAL;
      start = i + 1;
    }
    return x + stretchWidth(start, count, start == 0);
  }

  // The width of the characters [from, to) of the line; `filled` when the buffer still holds
  // exactly these characters.
  double stretchWidth(size_t from, size_t to, bool filled) {
    if (from == to) return 0;
    // Most stretches are in one script, wholly in the face and free of emoji: shaped whole in it,
    // they show no missing glyph and need nothing more.
    if (const auto script = soleScript(from, to);
        script && std::none_of(chars_.data() + from, chars_.data() + to, asksForEmoji)) {
      const double width = shape(Run{offsets_[from], offsets_[to], &primary_, *script}, filled);
      unsigned count = 0;
      const hb_glyph_info_t* glyphs = hb_buffer_get_glyph_infos(buffer_.get(), &count);
      if (std::none_of(glyphs, glyphs + count, [](const hb_glyph_info_t& g) { return g.codepoint == 0; }))
        return width;
    }
    itemize(from, to);
    double width = 0;
    for (const Run& run : runs_) width += shape(run, false);
    return width;
  }

  // The one script of the characters, with common and inherited ones going along with any;
  // HB_SCRIPT_INVALID when they have none of their own, nothing when they mix scripts.
  std::optional<hb_script_t> soleScript(size_t from, size_t to) const {
    hb_unicode_funcs_t* unicode = hb_unicode_funcs_get_default();
    hb_script_t only = HB_SCRIPT_INVALID;
    for (size_t i = from; i < to; ++i) {
      const hb_script_t script = hb_unicode_script(unicode, chars_[i]);
      if (!isStrong(script) || script == only) continue;
      if (only != HB_SCRIPT_INVALID) return std::nullopt;
      only = script;
    }
    return only;
  }

  // Splits the characters [from, to) into runs where the face or the script changes; each
  // grapheme cluster takes one face.
  void itemize(size_t from, size_t to) {
    runs_.clear();
    hb_unicode_funcs_t* unicode = hb_unicode_funcs_get_default();
    utf8proc_int32_t state = 0;
    for (size_t i = from, j = from; i < to; i = j) {
      for (j = i + 1; j < to; ++j) {
        if (utf8proc_grapheme_break_stateful(utf8proc_int32_t(chars_[j - 1]), utf8proc_int32_t(chars_[j]), &state))
          break;
      }
      const fonts::Face* face = faceFor(i, j, runs_.empty() ? nullptr : runs_.back().face);
      for (size_t k = i; k < j; ++k) {
        const hb_script_t script = hb_unicode_script(unicode, chars_[k]);
        const bool strong = isStrong(script);
        Run* last = runs_.empty() ? nullptr : &runs_.back();
        if (last && last->face == face &&
            (!strong || last->script == script || last->script == HB_SCRIPT_INVALID)) {
          last->end = offsets_[k + 1];
          if (strong) last->script = script;
        } else {
          runs_.push_back(Run{offsets_[k], offsets_[k + 1], face, strong ? script : HB_SCRIPT_INVALID});
        }
      }
    }
  }

  // Emoji presentation: asked for with U+FE0F, a skin tone or a keycap, or the base's default;
  // U+FE0E keeps the text glyph.
  bool emojiStyle(size_t from, size_t to) const {
    const char32_t* begin = chars_.data() + from;
    const char32_t* end = begin + (to - from);
    if (std::find(begin, end, TEXT_STYLE) != end) return false;
    if (std::any_of(begin, end, [](char32_t c) { return c == EMOJI_STYLE || isSkinTone(c); })) return true;
    const char32_t base = *begin;
    if (std::find(begin, end, KEYCAP) != end && ((base >= '0' && base <= '9') || base == '#' || base == '*'))
      return true;
    return emojiByDefault(base);
  }

  // The cluster's characters that need a glyph (invisible ones are hidden when a face lacks them),
  // as they are or in composed (NFC) or decomposed (NFD) form: a face that has either form draws
  // the cluster, because shaping composes and decomposes to what the face has.
  std::u32string needed(size_t from, size_t to, utf8proc_option_t form) const {
    std::u32string out;
    if (!form) {
      for (size_t i = from; i < to; ++i)
        if (!isIgnorable(chars_[i])) out += chars_[i];
      return out;
    }
    utf8proc_uint8_t* mapped = nullptr;
    const std::string_view bytes = line_.substr(offsets_[from], offsets_[to] - offsets_[from]);
    const auto length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(bytes.data()),
                                     utf8proc_ssize_t(bytes.size()), &mapped, utf8proc_option_t(UTF8PROC_STABLE | form));
    const std::string_view text(reinterpret_cast<const char*>(mapped), length > 0 ? size_t(length) : 0);
    for (size_t at = 0; at < text.size();) {
      const int32_t c = nextCodePoint(text, at);
      if (c < 0) break;
      if (!isIgnorable(char32_t(c))) out += char32_t(c);
    }
    std::free(mapped);
    return out;
  }

  static constexpr utf8proc_option_t FORMS[] = {utf8proc_option_t(0), UTF8PROC_COMPOSE, UTF8PROC_DECOMPOSE};

  bool covers(const fonts::Face& face, size_t from, size_t to) const {
    if (std::all_of(chars_.data() + from, chars_.data() + to, [&](char32_t c) { return isIgnorable(c) || face.has(c); }))
      return true;
    return std::any_of(std::begin(FORMS) + 1, std::end(FORMS), [&](utf8proc_option_t form) {
      const std::u32string chars = needed(from, to, form);
      return std::all_of(chars.begin(), chars.end(), [&](char32_t c) { return face.has(c); });
    });
  }

  const fonts::Face* emojiFace() {
    if (!emojiLooked_) emoji_ = catalog_.emoji();
    emojiLooked_ = true;
    return emoji_;
  }

  // A fallback face goes on with the clusters after it that it has; the colour emoji face only
  // takes emoji.
  const fonts::Face* faceFor(size_t from, size_t to, const fonts::Face* last) {
    if (emojiStyle(from, to))
      if (const fonts::Face* emoji = emojiFace(); emoji && covers(*emoji, from, to)) return emoji;
    if (covers(primary_, from, to)) return &primary_;
    if (last && last != &primary_ && last != emojiFace() && covers(*last, from, to)) return last;
    for (utf8proc_option_t form : FORMS)
      if (const fonts::Face* face = catalog_.fallback(primary_, needed(from, to, form))) return face;
    // No installed face has the whole cluster: it goes with its first character's face.
    const char32_t base = chars_[from];
    if (primary_.has(base)) return &primary_;
    const fonts::Face* face = catalog_.fallback(primary_, std::u32string(1, base));
    return face ? face : &primary_;  // nothing has it: the face's own missing-glyph box
  }

  // Shapes one run with the whole line around it as context; `filled` when the buffer already
  // holds exactly this run's characters. Scaled after the sum, so every finite width comes out.
  double shape(const Run& run, bool filled) {
    hb_buffer_t* b = buffer_.get();
    if (!filled) {
      hb_buffer_clear_contents(b);
      hb_buffer_add_utf8(b, line_.data(), int(line_.size()), run.begin, int(run.end - run.begin));
    }
    if (run.script != HB_SCRIPT_INVALID) {
      hb_buffer_set_script(b, run.script);
      hb_buffer_set_direction(b, hb_script_get_horizontal_direction(run.script));
    }
    hb_buffer_guess_segment_properties(b);
    hb_shape(run.face->font, b, nullptr, 0);
    unsigned count = 0;
    const hb_glyph_position_t* positions = hb_buffer_get_glyph_positions(b, &count);
    double total = 0;
    for (unsigned i = 0; i < count; ++i) total += positions[i].x_advance;
    return total / run.face->upem * size_;
  }

  fonts::Catalog& catalog_;
  const fonts::Face& primary_;
  double size_;
  std::unique_ptr<hb_buffer_t, decltype(&hb_buffer_destroy)> buffer_;
  std::string_view line_;
  std::u32string chars_;          // the line's characters
  std::vector<unsigned> offsets_;  // where each begins in the line, and the line's end
  std::vector<Run> runs_;
  const fonts::Face* emoji_ = nullptr;
  bool emojiLooked_ = false;
};

}  // namespace

std::vector<double> measure(const Job& job) {
  if (!job.font || !job.size || !job.strings) throw Failure("measure needs font, size, strings");
  const auto catalog = fonts::Catalog::current();
  const fonts::Face* face = catalog->named(*job.font);
  if (!face) throw Failure("The font " + *job.font + " isn't installed on this Mac");
  const double size = *job.size > 0 && std::isfinite(*job.size) ? *job.size : DEFAULT_SIZE;
  Measurer measurer(*catalog, *face, size);
  std::vector<double> widths;
  widths.reserve(job.strings->size());
  for (const std::string_view text : *job.strings) widths.push_back(measurer.width(text));
  return widths;
}
