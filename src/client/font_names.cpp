#include "client/font_names.h"

#include <fontconfig/fontconfig.h>
#include <utf8proc.h>

#include <algorithm>
#include <memory>
#include <set>

namespace {

struct Names {
  std::vector<std::string> postscript, full, family;
};

Names installedNames() {
  Names names;
  FcConfig* config = FcInitLoadConfigAndFonts();
  if (!config) return names;
  const std::unique_ptr<FcConfig, decltype(&FcConfigDestroy)> configHeld(config, FcConfigDestroy);
  const std::unique_ptr<FcPattern, decltype(&FcPatternDestroy)> pattern(FcPatternCreate(), FcPatternDestroy);
  const std::unique_ptr<FcObjectSet, decltype(&FcObjectSetDestroy)> objects(
      FcObjectSetBuild(FC_FAMILY, FC_FULLNAME, FC_POSTSCRIPT_NAME, nullptr), FcObjectSetDestroy);
  if (!pattern || !objects) return names;
  const std::unique_ptr<FcFontSet, decltype(&FcFontSetDestroy)> fonts(
      FcFontList(config, pattern.get(), objects.get()), FcFontSetDestroy);
  if (!fonts) return names;
  std::set<std::string> seen[3];
  for (int i = 0; i < fonts->nfont; ++i) {
    const std::pair<const char*, std::vector<std::string>*> kinds[] = {
        {FC_POSTSCRIPT_NAME, &names.postscript}, {FC_FULLNAME, &names.full}, {FC_FAMILY, &names.family}};
    for (size_t k = 0; k < 3; ++k) {
      FcChar8* value = nullptr;
      for (int n = 0; FcPatternGetString(fonts->fonts[i], kinds[k].first, n, &value) == FcResultMatch; ++n) {
        const std::string text(reinterpret_cast<const char*>(value));
        if (seen[k].insert(text).second) kinds[k].second->push_back(text);
      }
    }
  }
  for (auto* list : {&names.postscript, &names.full, &names.family}) std::sort(list->begin(), list->end());
  return names;
}

// Case-folded, so that names compare without letter case; invalid UTF-8 stays as it is.
std::string folded(const std::string& text) {
  utf8proc_uint8_t* out = nullptr;
  const auto length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                   static_cast<utf8proc_ssize_t>(text.size()), &out,
                                   static_cast<utf8proc_option_t>(UTF8PROC_CASEFOLD | UTF8PROC_COMPOSE));
  if (length < 0) return text;
  std::string result(reinterpret_cast<char*>(out), static_cast<size_t>(length));
  std::free(out);
  return result;
}

// Levenshtein's distance, byte by byte.
size_t distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::optional<std::string> installedSpelling(const std::string& name) {
  const Names names = installedNames();
  for (const auto* list : {&names.postscript, &names.full, &names.family})
    if (std::find(list->begin(), list->end(), name) != list->end()) return name;
  const std::string wanted = folded(name);
  for (const auto* list : {&names.postscript, &names.full, &names.family})
    for (const auto& candidate : *list)
      if (folded(candidate) == wanted) return candidate;
  return std::nullopt;
}

std::vector<std::string> nearestFamilies(const std::string& name, size_t count) {
  const std::string wanted = folded(name);
  std::vector<std::pair<size_t, std::string>> ranked;
  for (const auto& family : installedNames().family) ranked.emplace_back(distance(wanted, folded(family)), family);
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> nearest;
  for (size_t i = 0; i < ranked.size() && i < count; ++i) nearest.push_back(ranked[i].second);
  return nearest;
}
