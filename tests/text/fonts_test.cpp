// Font lookup by exact name and widths checked against HarfBuzz's own hb-shape on the same files.
#include <gtest/gtest.h>
#include <hb.h>

#include <numeric>
#include <thread>

#include "platform/fonts.h"
#include "support/support.h"

namespace {

const std::string DEJAVU = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
const std::string LIBERATION = "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf";
const std::string LIBERATION_BOLD = "/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf";
const std::string WQY = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";

double upem(const std::string& file) {
  hb_blob_t* blob = hb_blob_create_from_file(file.c_str());
  hb_face_t* face = hb_face_create(blob, 0);
  const double units = hb_face_get_upem(face);
  hb_face_destroy(face);
  hb_blob_destroy(blob);
  return units;
}

// The sum of hb-shape's advances for one line of text in the font file, scaled to points.
double shaped(const std::string& file, const std::string& text, double size) {
  test::TempDir dir;
  test::writeFile(dir / "text", text);
  auto run = test::runProgram("/usr/bin/hb-shape", {"--font-funcs=ot", "-O", "json", "--no-glyph-names",
                                                    "--text-file", dir / "text", file});
  EXPECT_EQ(run.status, 0) << run.output;
  double total = 0;
  for (const auto& glyph : nlohmann::json::parse(run.output)) total += glyph["ax"].get<double>();
  return total * size / upem(file);
}

double width(const std::string& name, const std::string& text, double size = 12) {
  auto font = fonts::Font::named(name, size);
  if (!font) throw std::runtime_error("missing " + name);
  return font->width(text);
}

TEST(FontLookup, FindsPostScriptFullAndFamilyNamesExactlyAsTheyAre) {
  const std::string text = "Hamburgefonstiv";
  EXPECT_EQ(width("LiberationSans-Bold", text), shaped(LIBERATION_BOLD, text, 12));
  EXPECT_EQ(width("Liberation Sans Bold", text), shaped(LIBERATION_BOLD, text, 12));
  EXPECT_EQ(width("Liberation Sans", text), shaped(LIBERATION, text, 12));
  // The family is also listed by its condensed, light and oblique faces: the regular one answers.
  EXPECT_EQ(width("DejaVu Sans", text), shaped(DEJAVU, text, 12));
  for (const std::string& near : std::vector<std::string>{"liberation sans", "LIBERATIONSANS", "Liberation Sans Regular", "LiberationSans Bold",
                           "Liberation  Sans", " Liberation Sans", "DejaVu", "Sans", "sans-serif", "Arial",
                           "Nope", "", std::string("DejaVu Sans\0x", 13)}) {
    EXPECT_FALSE(fonts::Font::named(near, 12)) << near;
  }
}

TEST(FontLookup, SizeZeroOrBelowGivesTwelvePoints) {
  for (double size : {0.0, -0.0, -12.0, -1e300}) {
    EXPECT_EQ(fonts::Font::named("DejaVuSans", size)->size(), fonts::DEFAULT_SIZE) << size;
  }
  EXPECT_EQ(fonts::Font::named("DejaVuSans", 0.5)->size(), 0.5);
}

TEST(Width, EqualsTheSumOfHarfBuzzAdvancesUnrounded) {
  const std::string lines[] = {"AV", "To", "A V", "Wavy Tower, \"quoted\" & (1,234.50)!",
                               "Caption: the quick brown fox jumps over the lazy dog.", "ffi fl office"};
  for (const std::string& file : {DEJAVU, LIBERATION}) {
    const std::string name = file == DEJAVU ? "DejaVuSans" : "LiberationSans";
    for (double size : {7.3, 12.0, 48.0}) {
      auto font = fonts::Font::named(name, size);
      for (const auto& line : lines) EXPECT_EQ(font->width(line), shaped(file, line, size)) << name << line;
    }
  }
  // 26.6 rounding of each advance would be off by more than a point on a line this long.
  std::string longLine;
  while (longLine.size() < 60000) longLine += "Wavy Tower, quoted text with AV and To pairs. ";
  EXPECT_EQ(width("LiberationSans", longLine, 48), shaped(LIBERATION, longLine, 48));
}

TEST(Width, KernsPairsAndFormsLigatures) {
  for (std::string name : {"DejaVuSans", "LiberationSans"}) {
    EXPECT_LT(width(name, "AV"), width(name, "A") + width(name, "V")) << name;
    EXPECT_LT(width(name, "To"), width(name, "T") + width(name, "o")) << name;
  }
  EXPECT_LT(width("LiberationSans", "A "), width("LiberationSans", "A") + width("LiberationSans", " "));
  // DejaVu Sans draws "ffi" as one glyph, narrower than its three letters.
  EXPECT_EQ(width("DejaVuSans", "ffi", 48), shaped(DEJAVU, "\uFB03", 48));
  EXPECT_LT(width("DejaVuSans", "ffi"), 2 * width("DejaVuSans", "f") + width("DejaVuSans", "i"));
}

TEST(Width, TakesCharactersTheFontLacksFromFontconfigsFallback) {
  // Liberation has neither the ideographs (WenQuanYi has) nor the check mark (DejaVu has).
  EXPECT_EQ(width("LiberationSans", "漢字", 30), shaped(WQY, "漢字", 30));
  EXPECT_EQ(width("LiberationSans", "\u2713", 30), shaped(DEJAVU, "\u2713", 30));
  EXPECT_DOUBLE_EQ(width("LiberationSans", "Ta漢字To \u2713", 30),
                   shaped(LIBERATION, "Ta", 30) + shaped(WQY, "漢字", 30) + shaped(LIBERATION, "To ", 30) +
                       shaped(DEJAVU, "\u2713", 30));
  // A character no installed font has still takes the font's own missing-glyph box.
  EXPECT_GT(width("LiberationSans", "\u1200"), 0);
}

TEST(Width, OfSeveralLinesIsTheWidestLine) {
  const double wide = width("DejaVuSans", "a much wider line");
  for (std::string text : {"short\na much wider line", "a much wider line\r\nshort", "short\ra much wider line\n",
                           "x\u2028a much wider line\u2029y", "\n\na much wider line\f"}) {
    EXPECT_EQ(width("DejaVuSans", text), wide) << text;
  }
  EXPECT_EQ(width("DejaVuSans", ""), 0);
  EXPECT_EQ(width("DejaVuSans", "\n\r\n"), 0);
}

TEST(Width, IsTheSameOnManyThreadsAtOnce) {
  const std::vector<std::string> names = {"DejaVuSans", "LiberationSans", "Liberation Sans Bold", "DejaVu Serif"};
  const std::string text = "Ta漢字To \u2713 ffi";
  std::vector<double> alone;
  for (const auto& name : names) alone.push_back(width(name, text, 20));
  std::vector<double> together(names.size() * 4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < together.size(); ++i) {
    threads.emplace_back([&, i] { together[i] = width(names[i % names.size()], text, 20); });
  }
  for (auto& thread : threads) thread.join();
  for (size_t i = 0; i < together.size(); ++i) EXPECT_EQ(together[i], alone[i % names.size()]) << i;
}

}  // namespace
