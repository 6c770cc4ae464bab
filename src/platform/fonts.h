// Installed fonts and the width of text drawn in them: fontconfig finds a face, FreeType loads
// it, HarfBuzz shapes the text with the font's default features (kerning and standard ligatures
// on), the way the desktop's text system draws it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace fonts {

// The size a font gets when it is asked for at 0 points or below.
inline constexpr double DEFAULT_SIZE = 12.0;

// One installed face at one point size, with the faces that stand in for characters it lacks.
// An object belongs to one thread at a time; separate objects share nothing, so each job can
// have its own on any thread.
class Font {
 public:
  // The installed face whose PostScript name, full name or family name is exactly `name` (bytes
  // compared as they are, tried in that order; a family gives its regular upright face). Nothing
  // when no face has the name: a near name or fontconfig's substitute never stands in for it.
  // A size of 0 or below, or one that is not finite, gives the font at DEFAULT_SIZE. Throws
  // std::runtime_error when fontconfig or FreeType cannot be set up or the face's file cannot be
  // loaded.
  static std::optional<Font> named(const std::string& name, double size);

  Font(Font&&) noexcept;
  Font& operator=(Font&&) noexcept;
  ~Font();

  double size() const;

  // The width in points that `text` takes when drawn on one line per line break (LF, CR, CRLF,
  // VT, FF, NEL, U+2028, U+2029): the widest line's sum of advances, unrounded. Characters the
  // face lacks are measured in the installed face that fontconfig falls back to for them. Never
  // fails; bytes that are not UTF-8 count as U+FFFD.
  double width(std::string_view text);

 private:
  struct State;
  explicit Font(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace fonts
