// The names of the installed fonts, as fontconfig lists them, for help with a name a person
// typed: the helper takes a font's name only exactly as the font spells it.
#pragma once

#include <optional>
#include <string>
#include <vector>

// An installed face's PostScript name, full name or family name (tried in that order) that equals
// `name` when letter case is ignored; `name` itself when some face has it exactly; nothing when
// no name matches, or fontconfig cannot list the fonts.
std::optional<std::string> installedSpelling(const std::string& name);

// Up to `count` installed family names nearest to `name` (fewest letters to change, letter case
// ignored), nearest first.
std::vector<std::string> nearestFamilies(const std::string& name, size_t count);
