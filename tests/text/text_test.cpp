// Font lookup by exact name, widths checked against HarfBuzz's own hb-shape on the same font
// files (in the faces the desktop's text system would choose), and "measure" jobs through the
// built helper in each way a job can reach it.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "jobs/failure.h"
#include "support/support.h"
#include "text/measure.h"
#include "text/shaped.h"

namespace {

using nlohmann::json;

const std::string DEJAVU = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
                  LIBERATION = "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf",
                  LIBERATION_BOLD = "/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf",
                  WQY = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc",
                  EMOJI = "/usr/share/fonts/truetype/noto/NotoColorEmoji.ttf";

double shaped(const std::string& file, const std::string& text, double size) {
  return test::shapedLines(file, text, size).at(0);
}

std::vector<double> widths(const std::string& name, const std::vector<std::string>& strings, double size = 12) {
  Job job;
  job.font = name, job.size = size, job.strings = strings;
  return measure(job);
}

double width(const std::string& name, const std::string& text, double size = 12) { return widths(name, {text}, size).at(0); }

bool installed(const std::string& name) {
  try {
    widths(name, {});
  } catch (const Failure&) {
    return false;
  }
  return true;
}

TEST(Fonts, MatchPostScriptFullAndFamilyNamesExactlyAsTheyAre) {
  // The DejaVu Sans family also lists condensed, light and oblique faces: the regular one answers.
  for (const auto& [name, file] : std::vector<std::pair<std::string, std::string>>{
           {"LiberationSans-Bold", LIBERATION_BOLD}, {"Liberation Sans Bold", LIBERATION_BOLD},
           {"Liberation Sans", LIBERATION}, {"DejaVu Sans", DEJAVU}})
    EXPECT_EQ(width(name, "Hamburgefonstiv"), shaped(file, "Hamburgefonstiv", 12)) << name;
  for (const char* near : {"liberation sans", "LIBERATIONSANS", "Liberation Sans Regular", "LiberationSans Bold",
                                  "Liberation  Sans", " Liberation Sans", "DejaVu", "Sans", "sans-serif", "Arial"})
    EXPECT_FALSE(installed(near)) << near;
  EXPECT_FALSE(installed(std::string("DejaVu Sans\0x", 13)));
  // A size of 0 or below gives the default of 12 points.
  for (double size : {0.0, -0.0, -12.0, -1e300})
    EXPECT_EQ(width("DejaVuSans", "AV", size), width("DejaVuSans", "AV")) << size;
}

TEST(Width, EqualsTheSumOfHarfBuzzAdvancesUnrounded) {
  // Kerning pairs (the space's too) and ligatures ("ffi" is one glyph in DejaVu Sans) as HarfBuzz
  // sets them.
  const std::vector<std::string> lines = {"AV", "To", "A V", "A ", "Wavy Tower, \"quoted\" & (1,234.50)!",
                                          "Caption: the quick brown fox jumps over the lazy dog.", "ffi fl office"};
  std::string all;
  for (const auto& line : lines) all += line + "\n";
  for (const auto& [name, file] : {std::pair{"DejaVuSans", DEJAVU}, std::pair{"LiberationSans", LIBERATION}})
    for (double size : {0.5, 7.3, 12.0, 48.0, 1e306})
      EXPECT_EQ(widths(name, lines, size), test::shapedLines(file, all, size)) << name << " " << size;
  // 26.6 rounding of each advance would be off by more than a point on a line this long.
  std::string longLine;
  while (longLine.size() < 60000) longLine += "Wavy Tower, quoted text with AV and To pairs. ";
  EXPECT_EQ(width("LiberationSans", longLine, 48), shaped(LIBERATION, longLine, 48));
}

TEST(Width, TakesWhatTheFontLacksFromTheFaceTheDesktopWouldChoose) {
  const std::string zalgo = "Z\u0351a\u0338\u035Cl\u0351g\u035Co\u0338";
  const auto dejavu = [](const std::string& text, double size) { return shaped(DEJAVU, text, size); };
  const auto emoji = [](const std::string& text, double size) { return shaped(EMOJI, text, size); };
  const double wide = dejavu("a much wider line", 12);
  struct Case {
    std::string font, text;
    double size, expected;
  };
  for (const auto& [font, text, size, expected] : std::vector<Case>{
           // Liberation has neither the ideographs (WenQuanYi has) nor the check mark (DejaVu has).
           {"LiberationSans", "Ta漢字To \u2713", 30,
            shaped(LIBERATION, "Ta", 30) + shaped(WQY, "漢字", 30) + shaped(LIBERATION, "To ", 30) + dejavu("\u2713", 30)},
           // A mark that the base's face lacks takes the whole cluster to a face that has both,
           // unless the pair composes to a character the face has.
           {"LiberationSans", "Z\u0351", 24, dejavu("Z\u0351", 24)},
           {"LiberationSans", "l\u0338", 24, dejavu("l\u0338", 24)},
           {"LiberationSans", zalgo, 24, dejavu(zalgo, 24)},
           {"WenQuanYi Micro Hei", zalgo, 48, dejavu(zalgo, 48)},
           {"LiberationSans", "Ae\u0301", 24, shaped(LIBERATION, "A\u00E9", 24)},
           // Emoji presentation, by default, with U+FE0F or as a keycap, takes the colour emoji
           // face even where the font has a text glyph; U+FE0E keeps the text glyph.
           {"DejaVuSans", "\u2764\uFE0F", 48, emoji("\u2764\uFE0F", 48)},
           {"DejaVuSans", "\u2764\uFE0E", 48, dejavu("\u2764", 48)},
           {"DejaVuSans", "\u2764", 48, dejavu("\u2764", 48)},
           {"DejaVuSans", "\U0001F600", 48, emoji("\U0001F600", 48)},
           {"LiberationSans", "\U0001F600\u2708", 20, emoji("\U0001F600", 20) + dejavu("\u2708", 20)},
           {"LiberationSans", "Hi \U0001F44D\U0001F3FD!", 48,
            shaped(LIBERATION, "Hi ", 48) + emoji("\U0001F44D\U0001F3FD", 48) + shaped(LIBERATION, "!", 48)},
           {"LiberationSans", "#\uFE0F\u20E3 1\u20E3", 20, emoji("#\uFE0F\u20E3", 20) + shaped(LIBERATION, " ", 20) +
                                                                emoji("1\u20E3", 20)},
           {"LiberationSans", "\U0001F469\u200D\U0001F4BB\U0001F1EB\U0001F1F7", 20,
            emoji("\U0001F469\u200D\U0001F4BB\U0001F1EB\U0001F1F7", 20)},
           // Tabs stop every 28 points, past the default style's twelfth stop too; other control
           // characters take no room.
           {"DejaVuSans", "a\tb", 24, 28 + dejavu("b", 24)},
           {"DejaVuSans", "\t\tx\t", 12, 3 * 28.0},
           {"DejaVuSans", "Caption\tb", 24, 4 * 28 + dejavu("b", 24)},  // "Caption" is 92.67 points wide
           {"DejaVuSans", std::string(13, '\t') + "b", 24, 13 * 28 + dejavu("b", 24)},
           {"DejaVuSans", std::string("a\x01\x1b\x7f\u0080\u009f") + '\0' + "b", 24, dejavu("a", 24) + dejavu("b", 24)},
           // Several lines measure as the widest, whatever breaks them.
           {"DejaVuSans", "short\na much wider line", 12, wide}, {"DejaVuSans", "a much wider line\r\nshort", 12, wide},
           {"DejaVuSans", "short\ra much wider line\n", 12, wide}, {"DejaVuSans", "x\u2028a much wider line\u2029y", 12, wide},
           {"DejaVuSans", "\n\na much wider line\f", 12, wide}, {"DejaVuSans", "", 12, 0}, {"DejaVuSans", "\n\r\n", 12, 0},
       }) {
    EXPECT_DOUBLE_EQ(width(font, text, size), expected) << font << " " << json(text) << " " << size;
  }
  // A character no installed font has still takes the font's own missing-glyph box.
  EXPECT_GT(width("LiberationSans", "\u1200"), 0);
}

TEST(Width, IsTheSameOnManyThreadsAtOnce) {
  const std::string names[] = {"DejaVuSans", "LiberationSans", "Liberation Sans Bold", "DejaVu Serif"};
  const std::string text = "Ta漢字To \u2713 ffi Z\u0351 \U0001F600\t!";
  std::vector<double> together(16);
  {
    std::vector<std::jthread> threads;
    for (size_t i = 0; i < together.size(); ++i) threads.emplace_back([&, i] { together[i] = width(names[i % 4], text, 20); });
  }
  for (size_t i = 0; i < together.size(); ++i) EXPECT_EQ(together[i], width(names[i % 4], text, 20)) << i;
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

// A copy of DejaVu Sans under the family name "Qovixy Sans" (the name's bytes swapped in place).
std::string renamedFont() {
  std::string bytes = test::readFile(DEJAVU).value();
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"DejaVu", "Qovixy"},
                                 {std::string("\0D\0e\0j\0a\0V\0u", 12), std::string("\0Q\0o\0v\0i\0x\0y", 12)}}) {
    for (size_t at = 0; (at = bytes.find(from, at)) != std::string::npos; at += to.size()) bytes.replace(at, to.size(), to);
  }
  return bytes;
}

TEST(MeasureJob, AnswersEveryStringInOrderWithAllItsDigitsInEveryMode) {
  test::TempDir dir;
  const auto job = [&](const std::string& file, const std::string& font, double size,
                       const std::vector<std::string>& strings) {
    test::writeJob(dir / file, {{"kind", "measure"}, {"out", dir / (file + ".json")}, {"font", font},
                                {"size", size}, {"strings", strings}});
  };
  job("opened.job", "DejaVuSans", 12, {});
  EXPECT_EQ(test::runHelper({"--open", dir / "opened.job"}).status, 0);
  EXPECT_EQ(test::readFile(dir / "opened.job.json"), R"({"ok":true,"widths":[]})");

  // Duplicates and empty strings included, each width as the font gives it; a size that makes
  // the sum of advances overflow before scaling still gives finite widths.
  std::vector<std::string> strings = {"", "AV", "AV", "Ta漢字To \u2713", "two\nlines", ""};
  for (int i = 0; i < 1000; ++i) strings.push_back("Caption line " + std::to_string(i) + " with To and AV.");
  for (double size : {37.3, 1e306}) {
    job("many.tovijob", "Liberation Sans", size, strings);
    EXPECT_EQ(test::runHelper({dir / "many.tovijob"}).status, 0);
    EXPECT_EQ(test::readJson(dir / "many.tovijob.json"), (json{{"ok", true}, {"widths", widths("Liberation Sans", strings, size)}}));
  }
}

TEST(MeasureJob, FindsAFontInstalledDuringAWatchSessionUntilItIsRemoved) {
  test::TempDir dir;
  const std::string fonts = dir / "data/fonts", font = fonts + "/Qovixy.ttf";
  ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  ::setenv("XDG_CACHE_HOME", (dir / "cache").c_str(), 1);
  std::thread watcher([&] { EXPECT_EQ(test::runHelper({"--watch", dir / "jobs", "--idle", "2"}).status, 0); });
  std::filesystem::create_directory(dir / "jobs");
  const auto job = [&](const std::string& name, const std::string& font) {
    test::writeJob(dir / "aside", {{"kind", "measure"}, {"out", dir / name}, {"font", font}, {"size", 0},
                                   {"strings", {"AV", "ffi"}}});
    std::filesystem::rename(dir / "aside", dir / ("jobs/" + name + ".tovijob"));
    EXPECT_TRUE(test::waitFor([&] { return test::exists(dir / name); })) << name;
    return test::readJson(dir / name);
  };
  const json answer = {{"ok", true}, {"widths", widths("DejaVu Sans", {"AV", "ffi"})}};
  EXPECT_EQ(job("before", "DejaVu Sans"), answer);
  std::filesystem::create_directories(fonts);
  test::writeFile(font, renamedFont());
  EXPECT_EQ(job("installed", "Qovixy Sans"), answer);
  std::filesystem::remove(font);
  EXPECT_EQ(job("removed", "Qovixy Sans"),
            (json{{"ok", false}, {"error", "The font Qovixy Sans isn't installed on this Mac"}}));
  watcher.join();
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("XDG_CACHE_HOME");
}

}  // namespace
