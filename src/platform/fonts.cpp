#include "platform/fonts.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include <hb-ft.h>
#include <hb.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

namespace fonts {
namespace {

template <auto destroy>
struct Destroy {
  template <class T>
  void operator()(T* p) const { destroy(p); }
};
template <class T, auto destroy>
using Owned = std::unique_ptr<T, Destroy<destroy>>;

using Config = Owned<FcConfig, FcConfigDestroy>;
using FontSet = Owned<FcFontSet, FcFontSetDestroy>;
using Pattern = Owned<FcPattern, FcPatternDestroy>;
using ObjectSet = Owned<FcObjectSet, FcObjectSetDestroy>;
using Library = Owned<FT_LibraryRec_, FT_Done_FreeType>;
using HbFace = Owned<hb_face_t, hb_face_destroy>;
using HbFont = Owned<hb_font_t, hb_font_destroy>;
using HbBuffer = Owned<hb_buffer_t, hb_buffer_destroy>;

std::string freetypeMessage(FT_Error error) {
  const char* text = FT_Error_String(error);
  return text ? text : "FreeType error " + std::to_string(error);
}

// Where a face lives: its file and FreeType's face index (named instance in the upper bits).
using FaceRef = std::pair<std::string, int>;

FaceRef faceRef(FcPattern* p) {
  FcChar8* file = nullptr;
  int index = 0;
  FcPatternGetString(p, FC_FILE, 0, &file);
  FcPatternGetInteger(p, FC_INDEX, 0, &index);
  return {file ? reinterpret_cast<const char*>(file) : "", index};
}

// HarfBuzz reads the OpenType tables, so only sfnt faces (TrueType and CFF flavours, WOFF
// included) can be measured; bitmap and Type 1 faces count as not there.
bool measurable(FcPattern* p) {
  FcChar8* format = nullptr;
  if (FcPatternGetString(p, FC_FONTFORMAT, 0, &format) != FcResultMatch) return true;
  const std::string_view f = reinterpret_cast<const char*>(format);
  return f == "TrueType" || f == "CFF";
}

bool hasName(FcPattern* p, const char* object, const std::string& name) {
  FcChar8* value = nullptr;
  for (int i = 0; FcPatternGetString(p, object, i, &value) == FcResultMatch; ++i) {
    if (std::string_view(reinterpret_cast<const char*>(value)) == name) return true;
  }
  return false;
}

// A numeric style value; a variable face's range counts as the point in it nearest `wanted`.
double styleValue(FcPattern* p, const char* object, double wanted) {
  FcValue v;
  if (FcPatternGet(p, object, 0, &v) != FcResultMatch) return wanted;
  double begin = 0, end = 0;
  switch (v.type) {
    case FcTypeInteger: return v.u.i;
    case FcTypeDouble: return v.u.d;
    case FcTypeRange:
      if (FcRangeGetDouble(v.u.r, &begin, &end) && begin <= end) return std::clamp(wanted, begin, end);
      return wanted;
    default: return wanted;
  }
}

// Orders the faces that answer to one name: upright before slanted, then nearest to normal width
// and regular weight, so that a family gives its regular face; then by file for a stable choice.
auto preference(FcPattern* p) {
  const double slant = styleValue(p, FC_SLANT, FC_SLANT_ROMAN);
  const double width = styleValue(p, FC_WIDTH, FC_WIDTH_NORMAL);
  const double weight = styleValue(p, FC_WEIGHT, FC_WEIGHT_REGULAR);
  return std::tuple(slant != FC_SLANT_ROMAN, std::abs(width - FC_WIDTH_NORMAL),
                    std::abs(weight - FC_WEIGHT_REGULAR), faceRef(p));
}

FcPattern* findFace(const FcFontSet& all, const std::string& name) {
  for (const char* object : {FC_POSTSCRIPT_NAME, FC_FULLNAME, FC_FAMILY}) {
    FcPattern* best = nullptr;
    for (int i = 0; i < all.nfont; ++i) {
      FcPattern* p = all.fonts[i];
      if (!measurable(p) || !hasName(p, object, name)) continue;
      if (!best || preference(p) < preference(best)) best = p;
    }
    if (best) return best;
  }
  return nullptr;
}

// What fontconfig needs to rank fallback faces for this one: its family and style.
Pattern fallbackRequest(FcPattern* face) {
  Pattern request(FcPatternCreate());
  if (!request) throw std::runtime_error("Cannot make a fontconfig pattern: out of memory");
  for (const char* object : {FC_FAMILY, FC_WEIGHT, FC_SLANT, FC_WIDTH}) {
    FcValue v;
    if (FcPatternGet(face, object, 0, &v) == FcResultMatch) FcPatternAdd(request.get(), object, v, FcTrue);
  }
  return request;
}

struct Face {
  HbFace face;
  HbFont font;
  double upem = 0;

  bool has(hb_codepoint_t c) const {
    hb_codepoint_t glyph;
    return hb_font_get_nominal_glyph(font.get(), c, &glyph);
  }
};

// Nothing when FreeType cannot load the face; `error` then says why.
std::unique_ptr<Face> openFace(FT_Library library, const FaceRef& ref, FT_Error& error) {
  FT_Face ft = nullptr;
  error = FT_New_Face(library, ref.first.c_str(), ref.second, &ft);
  if (error) return nullptr;
  auto face = std::make_unique<Face>();
  // The HarfBuzz face holds its own reference to the FreeType face.
  face->face.reset(hb_ft_face_create_referenced(ft));
  FT_Done_Face(ft);
  face->font.reset(hb_font_create(face->face.get()));
  // At one unit per font unit HarfBuzz's advances are the font's own unhinted design values:
  // nothing is rounded before the sum is scaled to the point size.
  const unsigned upem = hb_face_get_upem(face->face.get());
  face->upem = upem ? upem : 1000;
  hb_font_set_scale(face->font.get(), int(face->upem), int(face->upem));
  if (const unsigned instance = unsigned(ref.second) >> 16) {
    hb_font_set_var_named_instance(face->font.get(), instance - 1);
  }
  return face;
}

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

// Characters that belong with the one before them, whatever face that one took: combining marks
// and variation selectors shape in their base's face, invisible format and control characters
// never call for a face of their own.
bool followsPrevious(hb_unicode_general_category_t category) {
  switch (category) {
    case HB_UNICODE_GENERAL_CATEGORY_NON_SPACING_MARK:
    case HB_UNICODE_GENERAL_CATEGORY_SPACING_MARK:
    case HB_UNICODE_GENERAL_CATEGORY_ENCLOSING_MARK:
    case HB_UNICODE_GENERAL_CATEGORY_FORMAT:
    case HB_UNICODE_GENERAL_CATEGORY_CONTROL:
      return true;
    default:
      return false;
  }
}

bool isStrong(hb_script_t script) {
  return script != HB_SCRIPT_COMMON && script != HB_SCRIPT_INHERITED && script != HB_SCRIPT_UNKNOWN;
}

// The one script of a line's characters, with common and inherited ones going along with any;
// HB_SCRIPT_INVALID when it has none of its own, nothing when it mixes scripts.
std::optional<hb_script_t> soleScript(const hb_glyph_info_t* chars, unsigned count) {
  hb_unicode_funcs_t* unicode = hb_unicode_funcs_get_default();
  hb_script_t only = HB_SCRIPT_INVALID;
  for (unsigned i = 0; i < count; ++i) {
    const hb_script_t script = hb_unicode_script(unicode, chars[i].codepoint);
    if (!isStrong(script) || script == only) continue;
    if (only != HB_SCRIPT_INVALID) return std::nullopt;
    only = script;
  }
  return only;
}

// A stretch of a line that is shaped in one face and one script.
struct Run {
  unsigned begin = 0;
  unsigned end = 0;
  Face* face = nullptr;
  hb_script_t script = HB_SCRIPT_INVALID;  // still open while only common characters came
};

}  // namespace

struct Font::State {
  Library library;  // first, so that it outlives every face
  Config config;
  double size = DEFAULT_SIZE;
  std::unique_ptr<Face> primary;
  FaceRef primaryRef;
  Pattern request;    // what fallback faces are ranked against,
  FontSet fallbacks;  // ranked the first time a character is missing
  std::map<FaceRef, std::unique_ptr<Face>> loaded;  // null where FreeType failed
  std::unordered_map<hb_codepoint_t, Face*> fallbackFor;
  HbBuffer buffer;
  std::vector<Run> runs;

  Face* fallback(hb_codepoint_t c);
  void itemize(std::string_view line);
  double shape(const Run& run, std::string_view line, bool filled);
  double lineWidth(std::string_view line);
};

Face* Font::State::fallback(hb_codepoint_t c) {
  const auto [known, fresh] = fallbackFor.try_emplace(c, nullptr);
  if (!fresh) return known->second;
  if (request) {
    FcConfigSubstitute(config.get(), request.get(), FcMatchPattern);
    FcDefaultSubstitute(request.get());
    FcResult result;
    fallbacks.reset(FcFontSort(config.get(), request.get(), FcTrue, nullptr, &result));
    request.reset();
  }
  if (!fallbacks) return nullptr;
  for (int i = 0; i < fallbacks->nfont; ++i) {
    FcPattern* p = fallbacks->fonts[i];
    FcCharSet* coverage = nullptr;
    if (FcPatternGetCharSet(p, FC_CHARSET, 0, &coverage) != FcResultMatch ||
        !FcCharSetHasChar(coverage, c) || !measurable(p)) {
      continue;
    }
    const FaceRef ref = faceRef(p);
    if (ref == primaryRef) continue;
    auto [slot, opened] = loaded.try_emplace(ref);
    if (opened) {
      FT_Error ignored;
      slot->second = openFace(library.get(), ref, ignored);  // a broken file is passed over
    }
    if (slot->second && slot->second->has(c)) return known->second = slot->second.get();
  }
  return nullptr;
}

// Splits a line, already in the buffer as characters, where the face or the script changes.
void Font::State::itemize(std::string_view line) {
  runs.clear();
  hb_unicode_funcs_t* unicode = hb_unicode_funcs_get_default();
  unsigned count = 0;
  const hb_glyph_info_t* chars = hb_buffer_get_glyph_infos(buffer.get(), &count);
  for (unsigned i = 0; i < count; ++i) {
    const hb_codepoint_t c = chars[i].codepoint;
    const unsigned begin = chars[i].cluster;
    const unsigned end = i + 1 < count ? chars[i + 1].cluster : unsigned(line.size());
    Run* last = runs.empty() ? nullptr : &runs.back();
    Face* face = nullptr;
    if (followsPrevious(hb_unicode_general_category(unicode, c))) {
      face = last ? last->face : primary.get();
    } else if (primary->has(c)) {
      face = primary.get();
    } else if (last && last->face != primary.get() && last->face->has(c)) {
      face = last->face;
    } else {
      face = fallback(c);
      if (!face) face = primary.get();  // nothing has it: the face's own missing-glyph box
    }
    const hb_script_t script = hb_unicode_script(unicode, c);
    const bool strong = isStrong(script);
    if (last && last->face == face &&
        (!strong || last->script == script || last->script == HB_SCRIPT_INVALID)) {
      last->end = end;
      if (strong) last->script = script;
    } else {
      runs.push_back(Run{begin, end, face, strong ? script : HB_SCRIPT_INVALID});
    }
  }
}

// Shapes one run with the whole line around it as context; `filled` when the buffer already holds
// exactly this run's characters.
double Font::State::shape(const Run& run, std::string_view line, bool filled) {
  hb_buffer_t* b = buffer.get();
  if (!filled) {
    hb_buffer_clear_contents(b);
    hb_buffer_add_utf8(b, line.data(), int(line.size()), run.begin, int(run.end - run.begin));
  }
  if (run.script != HB_SCRIPT_INVALID) {
    hb_buffer_set_script(b, run.script);
    hb_buffer_set_direction(b, hb_script_get_horizontal_direction(run.script));
  }
  hb_buffer_guess_segment_properties(b);
  hb_shape(run.face->font.get(), b, nullptr, 0);
  unsigned count = 0;
  const hb_glyph_position_t* positions = hb_buffer_get_glyph_positions(b, &count);
  double total = 0;
  for (unsigned i = 0; i < count; ++i) total += positions[i].x_advance;
  return total * size / run.face->upem;
}

double Font::State::lineWidth(std::string_view line) {
  if (line.empty()) return 0;
  hb_buffer_t* b = buffer.get();
  hb_buffer_clear_contents(b);
  hb_buffer_add_utf8(b, line.data(), int(line.size()), 0, -1);
  // Most lines are in one script and wholly in the face: shaped whole in it, they show no missing
  // glyph and need nothing more.
  unsigned count = 0;
  if (const auto script = soleScript(hb_buffer_get_glyph_infos(b, &count), count)) {
    const double width = shape(Run{0, unsigned(line.size()), primary.get(), *script}, line, true);
    const hb_glyph_info_t* glyphs = hb_buffer_get_glyph_infos(b, &count);
    if (std::none_of(glyphs, glyphs + count, [](const hb_glyph_info_t& g) { return g.codepoint == 0; })) {
      return width;
    }
    hb_buffer_clear_contents(b);
    hb_buffer_add_utf8(b, line.data(), int(line.size()), 0, -1);
  }
  itemize(line);
  double width = 0;
  for (const Run& run : runs) width += shape(run, line, false);
  return width;
}

Font::Font(std::unique_ptr<State> state) : state_(std::move(state)) {}
Font::Font(Font&&) noexcept = default;
Font& Font::operator=(Font&&) noexcept = default;
Font::~Font() = default;

std::optional<Font> Font::named(const std::string& name, double size) {
  // Each font loads its own configuration, so that fonts installed since the last job count and
  // no object is shared between threads.
  Config config(FcInitLoadConfigAndFonts());
  if (!config) throw std::runtime_error("Cannot load the fontconfig configuration");
  Pattern any(FcPatternCreate());
  ObjectSet objects(FcObjectSetBuild(FC_FILE, FC_INDEX, FC_FONTFORMAT, FC_POSTSCRIPT_NAME, FC_FULLNAME,
                                     FC_FAMILY, FC_WEIGHT, FC_SLANT, FC_WIDTH, static_cast<char*>(nullptr)));
  if (!any || !objects) throw std::runtime_error("Cannot list the installed fonts: out of memory");
  FontSet all(FcFontList(config.get(), any.get(), objects.get()));
  FcPattern* found = all ? findFace(*all, name) : nullptr;
  if (!found) return std::nullopt;

  auto state = std::make_unique<State>();
  FT_Library library = nullptr;
  if (const FT_Error error = FT_Init_FreeType(&library)) {
    throw std::runtime_error("Cannot start FreeType: " + freetypeMessage(error));
  }
  state->library.reset(library);
  state->primaryRef = faceRef(found);
  FT_Error error = 0;
  state->primary = openFace(library, state->primaryRef, error);
  if (!state->primary) {
    throw std::runtime_error("Cannot load the font " + state->primaryRef.first + ": " + freetypeMessage(error));
  }
  state->request = fallbackRequest(found);
  state->config = std::move(config);
  state->size = size > 0 && std::isfinite(size) ? size : DEFAULT_SIZE;
  state->buffer.reset(hb_buffer_create());
  if (!hb_buffer_allocation_successful(state->buffer.get())) {
    throw std::runtime_error("Cannot make a HarfBuzz buffer: out of memory");
  }
  return Font(std::move(state));
}

double Font::size() const { return state_->size; }

double Font::width(std::string_view text) {
  double widest = 0;
  size_t start = 0;
  size_t length = 0;
  for (size_t i = 0; i < text.size();) {
    if (isLineBreak(text, i, length)) {
      widest = std::max(widest, state_->lineWidth(text.substr(start, i - start)));
      i += length;
      start = i;
    } else {
      ++i;
    }
  }
  return std::max(widest, state_->lineWidth(text.substr(start)));
}

}  // namespace fonts
