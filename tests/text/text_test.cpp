// Font lookup by exact name, widths checked against HarfBuzz's own hb-shape on the same font
// files, and "measure" jobs through the built helper in each way a job can reach it.
#include <gtest/gtest.h>
#include <hb.h>

#include <thread>

#include "platform/fonts.h"
#include "support/support.h"

namespace {

using nlohmann::json;

const std::string DEJAVU = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
                  LIBERATION = "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf",
                  LIBERATION_BOLD = "/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf",
                  WQY = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";

// The sum of hb-shape's advances for one line of text in the font file, scaled to points.
double shaped(const std::string& file, const std::string& text, double size) {
  const auto run = test::runProgram("/usr/bin/hb-shape", {"--font-funcs=ot", "-O", "json", "--no-glyph-names",
                                                          "--text=" + text, file});
  double total = 0;
  for (const auto& glyph : json::parse(run.output)) total += glyph["ax"].get<double>();
  hb_blob_t* blob = hb_blob_create_from_file(file.c_str());
  hb_face_t* face = hb_face_create(blob, 0);
  total *= size / hb_face_get_upem(face);
  hb_face_destroy(face);
  hb_blob_destroy(blob);
  return total;
}

double width(const std::string& name, const std::string& text, double size = 12) {
  return fonts::Font::named(name, size).value().width(text);
}

TEST(Fonts, MatchPostScriptFullAndFamilyNamesExactlyAsTheyAre) {
  // The DejaVu Sans family also lists condensed, light and oblique faces: the regular one answers.
  for (const auto& [name, file] : std::vector<std::pair<std::string, std::string>>{
           {"LiberationSans-Bold", LIBERATION_BOLD}, {"Liberation Sans Bold", LIBERATION_BOLD},
           {"Liberation Sans", LIBERATION}, {"DejaVu Sans", DEJAVU}})
    EXPECT_EQ(width(name, "Hamburgefonstiv"), shaped(file, "Hamburgefonstiv", 12)) << name;
  for (const char* near : {"liberation sans", "LIBERATIONSANS", "Liberation Sans Regular", "LiberationSans Bold",
                                  "Liberation  Sans", " Liberation Sans", "DejaVu", "Sans", "sans-serif", "Arial"})
    EXPECT_FALSE(fonts::Font::named(near, 12)) << near;
  EXPECT_FALSE(fonts::Font::named(std::string("DejaVu Sans\0x", 13), 12));
  // A size of 0 or below gives the default of 12 points.
  for (double size : {0.0, -0.0, -12.0, -1e300})
    EXPECT_EQ(width("DejaVuSans", "AV", size), width("DejaVuSans", "AV")) << size;
}

TEST(Width, EqualsTheSumOfHarfBuzzAdvancesUnrounded) {
  const std::string lines[] = {"AV", "To", "A V", "Wavy Tower, \"quoted\" & (1,234.50)!",
                               "Caption: the quick brown fox jumps over the lazy dog.", "ffi fl office"};
  for (const auto& [name, file] : {std::pair{"DejaVuSans", DEJAVU}, std::pair{"LiberationSans", LIBERATION}}) {
    for (double size : {0.5, 7.3, 12.0, 48.0}) {
      auto font = fonts::Font::named(name, size).value();
      for (const auto& line : lines) EXPECT_EQ(font.width(line), shaped(file, line, size)) << name << line << size;
    }
  }
  // 26.6 rounding of each advance would be off by more than a point on a line this long.
  std::string longLine;
  while (longLine.size() < 60000) longLine += "Wavy Tower, quoted text with AV and To pairs. ";
  EXPECT_EQ(width("LiberationSans", longLine, 48), shaped(LIBERATION, longLine, 48));

  // Kerning pairs, with the space too, are narrower than their letters apart; DejaVu Sans draws
  // "ffi" as one glyph, narrower than its three letters.
  for (std::string name : {"DejaVuSans", "LiberationSans"}) {
    EXPECT_LT(width(name, "AV"), width(name, "A") + width(name, "V")) << name;
    EXPECT_LT(width(name, "To"), width(name, "T") + width(name, "o")) << name;
  }
  EXPECT_LT(width("LiberationSans", "A "), width("LiberationSans", "A") + width("LiberationSans", " "));
  EXPECT_EQ(width("DejaVuSans", "ffi", 48), shaped(DEJAVU, "\uFB03", 48));
  EXPECT_LT(width("DejaVuSans", "ffi"), 2 * width("DejaVuSans", "f") + width("DejaVuSans", "i"));
}

TEST(Width, TakesCharactersTheFontLacksFromFontconfigsFallback) {
  // Liberation has neither the ideographs (WenQuanYi has) nor the check mark (DejaVu has).
  EXPECT_DOUBLE_EQ(width("LiberationSans", "Ta漢字To \u2713", 30),
                   shaped(LIBERATION, "Ta", 30) + shaped(WQY, "漢字", 30) + shaped(LIBERATION, "To ", 30) +
                       shaped(DEJAVU, "\u2713", 30));
  // A character no installed font has still takes the font's own missing-glyph box.
  EXPECT_GT(width("LiberationSans", "\u1200"), 0);
}

TEST(Width, OfSeveralLinesIsTheWidestLine) {
  for (std::string text : {"short\na much wider line", "a much wider line\r\nshort", "short\ra much wider line\n",
                           "x\u2028a much wider line\u2029y", "\n\na much wider line\f"})
    EXPECT_EQ(width("DejaVuSans", text), width("DejaVuSans", "a much wider line")) << text;
  for (std::string empty : {"", "\n\r\n"}) EXPECT_EQ(width("DejaVuSans", empty), 0) << empty;
}

TEST(Width, IsTheSameOnManyThreadsAtOnce) {
  const std::string names[] = {"DejaVuSans", "LiberationSans", "Liberation Sans Bold", "DejaVu Serif"};
  std::vector<double> together(16);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < together.size(); ++i)
    threads.emplace_back([&, i] { together[i] = width(names[i % 4], "Ta漢字To \u2713 ffi", 20); });
  for (auto& thread : threads) thread.join();
  for (size_t i = 0; i < together.size(); ++i)
    EXPECT_EQ(together[i], width(names[i % 4], "Ta漢字To \u2713 ffi", 20)) << i;
}

TEST(MeasureJob, NamesWhatIsMissingOrNotInstalled) {
  for (json job : {json::object(), json{{"font", "DejaVuSans"}}, json{{"font", "DejaVuSans"}, {"size", 12}},
                   json{{"size", 12}, {"strings", {"a"}}}, json{{"font", nullptr}, {"size", 12}, {"strings", {}}}}) {
    job["kind"] = "measure";
    EXPECT_EQ(test::errorOfJob(job), "measure needs font, size, strings") << job;
  }
  for (std::string name : {"Helvetica Neue", "", "dejavu sans", "\"Quoted\" / name"})
    EXPECT_EQ(test::errorOfJob({{"kind", "measure"}, {"font", name}, {"size", 12}, {"strings", json::array()}}),
              "The font " + name + " isn't installed on this Mac");
}

TEST(MeasureJob, AnswersEveryStringInOrderWithAllItsDigitsInEveryMode) {
  test::TempDir dir;
  const auto job = [&](const std::string& file, const std::string& font, double size,
                       const std::vector<std::string>& strings) {
    test::writeJob(dir / file, {{"kind", "measure"}, {"out", dir / (file + ".json")}, {"font", font},
                                {"size", size}, {"strings", strings}});
  };
  job("watched.tovijob", "DejaVu Sans", 0, {"AV", "ffi"});
  EXPECT_EQ(test::runHelper({"--watch", dir.path, "--idle", "0.2"}).status, 0);
  EXPECT_EQ(test::readJson(dir / "watched.tovijob.json"),
            (json{{"ok", true}, {"widths", {width("DejaVuSans", "AV"), width("DejaVuSans", "ffi")}}}));
  job("opened.job", "DejaVuSans", 12, {});
  EXPECT_EQ(test::runHelper({"--open", dir / "opened.job"}).status, 0);
  EXPECT_EQ(test::readFile(dir / "opened.job.json"), R"({"ok":true,"widths":[]})");

  // Duplicates and empty strings included, each width as the font gives it.
  std::vector<std::string> strings = {"", "AV", "AV", "Ta漢字To \u2713", "two\nlines", ""};
  for (int i = 0; i < 1000; ++i) strings.push_back("Caption line " + std::to_string(i) + " with To and AV.");
  job("many.tovijob", "Liberation Sans", 37.3, strings);
  EXPECT_EQ(test::runHelper({dir / "many.tovijob"}).status, 0);
  const json widths = test::readJson(dir / "many.tovijob.json")["widths"];
  ASSERT_EQ(widths.size(), strings.size());
  auto font = fonts::Font::named("Liberation Sans", 37.3).value();
  for (size_t i = 0; i < strings.size(); ++i) EXPECT_EQ(widths[i].get<double>(), font.width(strings[i])) << i;
}

}  // namespace
