// Installed fonts: fontconfig finds a face by its name, the faces that stand in for characters a
// face lacks and the colour emoji face; HarfBuzz reads the face's tables from its file one by one as
// it needs them (a WOFF file FreeType unpacks whole). What fontconfig loaded and the faces opened so far are kept between jobs,
// and loaded again once a font or configuration folder or file has changed, so that a font
// installed or removed during a long session counts from the next lookup on.
#pragma once

#include <hb.h>

#include <memory>
#include <string>
#include <string_view>

namespace fonts {

// One opened face. It never changes once made, so any number of threads may use it at once.
struct Face {
  Face() = default;
  Face(const Face&) = delete;
  Face& operator=(const Face&) = delete;
  ~Face();

  hb_font_t* font = nullptr;  // at one unit per font unit: advances are the font's design values
  double upem = 0;            // font units per em

  // Whether the face maps `c` to a glyph of its own.
  bool has(char32_t c) const;
};

// The installed fonts as fontconfig listed them at one time, with the faces opened from them.
// Safe on any thread; a face stays open as long as its catalog is held.
class Catalog {
 public:
  // The catalog of the fonts installed now: the same object as at the last call while no font
  // folder and no configuration file has changed since. Throws std::runtime_error when
  // fontconfig cannot load its configuration.
  static std::shared_ptr<Catalog> current();

  // The face whose PostScript name, full name or family name is exactly `name` (bytes compared
  // as they are, tried in that order; a family gives its regular upright face). Nothing when no
  // face has the name: a near name or fontconfig's substitute never stands in for it. Only sfnt
  // faces (TrueType and CFF flavours, WOFF included) count. Throws std::runtime_error when the
  // face's file cannot be loaded.
  const Face* named(const std::string& name);

  // The first face, in the order fontconfig falls back from `face` (a face of this catalog),
  // that has every one of `chars`; nothing when no installed face has them all.
  const Face* fallback(const Face& face, std::u32string_view chars);

  // The installed colour emoji face that fontconfig prefers, or nothing.
  const Face* emoji();

  ~Catalog();

 private:
  struct State;
  explicit Catalog(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace fonts
