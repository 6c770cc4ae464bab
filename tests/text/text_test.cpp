// Font lookup by exact name, widths checked against HarfBuzz's own hb-shape on the same font
// files (in the faces the desktop's text system would choose), and "measure" jobs through the
// built helper in each way a job can reach it.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <thread>

#include "jobs/failure.h"
#include "support/support.h"
#include "text/measure.h"
#include "text/shaped.h"

namespace {

using nlohmann::json;

const std::string LIBERATION = "/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf",
                  LIBERATION_BOLD = "/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf",
                  EMOJI = "/usr/share/fonts/truetype/noto/NotoColorEmoji.ttf";

// The width of one line of text in the font file, as hb-shape gives it.
auto shapedIn(const std::string& file) {
  return [file](const std::string& text, double size) {
    return test::shapedLines(file, text, size).at(0);
  };
}

std::vector<double> widths(const std::string& name, const std::vector<std::string>& strings,
                           double size = 12) {
  Job job;
  job.font = name, job.size = size, job.strings = strings;
  return measure(job);
}

// Each width the sum of HarfBuzz's advances, unrounded: kerning pairs (the space's too) and
// ligatures ("ffi" is one glyph in DejaVu Sans) as HarfBuzz sets them, in the face the PostScript
// or full name gives ("Liberation Sans Bold" is only a full name); a size of 0 or below gives the
// default of 12 points.
TEST(Fonts, MatchNamesExactlyAndGiveTheSumOfHarfBuzzAdvancesUnrounded) {
  std::vector<std::string> lines = {"A V", "Wavy Tower, \"quoted\" & (1,234.50)!", "office", ""};
  // 26.6 rounding of each advance would be off by more than a point on a line this long.
  while (lines.back().size() < 6000)
    lines.back() += "Wavy Tower, quoted text with AV and To pairs. ";
  std::string all;
  for (const auto& line : lines) all += line + "\n";
  const std::pair<std::string, std::string> faces[] = {
      {"DejaVuSans", test::DEJAVU},
      {"Liberation Sans Bold", LIBERATION_BOLD},
  };
  for (const auto& [name, file] : faces) {
    // Times the size, the same to the last bit; at 1e306 the sum of advances would overflow if
    // scaled before it is summed.
    const auto perPoint = test::shapedLines(file, all, 1);
    for (double size : {7.3, 1e306, 0.0, -12.0}) {
      std::vector<double> expected;
      for (const double w : perPoint) expected.push_back(w * (size > 0 ? size : 12));
      EXPECT_EQ(widths(name, lines, size), expected) << name << " " << size;
    }
  }
  // Any other name is not installed, and is named as given: fontconfig's case and blank folding,
  // its styles and substitutes, a prefix and a name cut at a NUL byte find nothing.
  const std::string nearNames[] = {"liberation sans", "Liberation Sans Regular", "Liberation  Sans",
                                   "DejaVu", "Arial", std::string("DejaVu Sans\0x", 13)};
  for (const std::string& near : nearNames) {
    try {
      widths(near, {});
      ADD_FAILURE() << near << " is installed";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.message, "The font " + near + " isn't installed on this Mac");
    }
  }
}

TEST(Width, TakesWhatTheFontLacksFromTheFaceTheDesktopWouldChoose) {
  const std::string zalgo = "Z\u0351a\u0338\u035Cl\u0351g\u035Co\u0338",
                    family = "\U0001F469\u200D\U0001F4BB\U0001F1EB\U0001F1F7";
  const auto dejavu = shapedIn(test::DEJAVU), lib = shapedIn(LIBERATION), emoji = shapedIn(EMOJI);
  struct Case { std::string font, text; double size, expected; };
  std::vector<Case> cases = {
      // Liberation has neither the ideographs (WenQuanYi has) nor the check mark (DejaVu has); a
      // character no installed font has takes the font's own missing-glyph box.
      {"LiberationSans", "Ta漢字To \u2713", 30,
       lib("Ta", 30) + shapedIn(test::WQY)("漢字", 30) + lib("To ", 30) + dejavu("\u2713", 30)},
      {"LiberationSans", "\u1200", 12, lib("\u1200", 12)},
      // A mark that the base's face lacks takes the whole cluster to a face that has both,
      // unless the pair composes to a character the face has.
      {"LiberationSans", zalgo, 24, dejavu(zalgo, 24)},
      {"LiberationSans", "Ae\u0301", 24, lib("A\u00E9", 24)},
      // Emoji presentation, by default, with U+FE0F or as a keycap, takes the colour emoji
      // face even where the font has a text glyph; U+FE0E, or a character that is text by
      // default, keeps the text glyph.
      {"DejaVuSans", "\u2764\uFE0E\u2764\uFE0F", 48, dejavu("\u2764", 48) + emoji("\u2764\uFE0F", 48)},
      {"LiberationSans", "\U0001F600\u2708", 20, emoji("\U0001F600", 20) + dejavu("\u2708", 20)},
      {"LiberationSans", "1\u20E3", 20, emoji("1\u20E3", 20)},
      {"LiberationSans", family, 20, emoji(family, 20)},
      // Tabs stop every 28 points, from wherever the pen is, past the default style's twelfth
      // stop too; other control characters take no room.
      {"DejaVuSans", std::string(13, '\t') + "x\tb", 12, 14 * 28 + dejavu("b", 12)},
      {"DejaVuSans", std::string("a\x01\x1b\x7f\u0080\u009f") + '\0' + "b", 24,
       dejavu("a", 24) + dejavu("b", 24)},
  };
  // Several lines measure as the widest, whatever breaks them, first and last too.
  for (const std::string end : {"\n", "\r\n", "\r", "\v", "\f", "\u0085", "\u2028", "\u2029"})
    cases.push_back({"DejaVuSans", end + "short" + end + "a much wider line" + end + "x" + end, 12,
                     dejavu("a much wider line", 12)});
  // Measured all at once, a thread a case, as jobs that run side by side do.
  std::vector<std::future<double>> measured;
  for (const auto& c : cases)
    measured.push_back(std::async(std::launch::async, [&c] {
      return widths(c.font, {c.text}, c.size).at(0);
    }));
  for (size_t i = 0; i < cases.size(); ++i)
    EXPECT_DOUBLE_EQ(measured[i].get(), cases[i].expected)
        << cases[i].font << " " << json(cases[i].text) << " " << cases[i].size;
}

// Through the built helper, opened from the desktop or named alone: every string's width in order
// (duplicates and empty strings included) with all its digits, also at a size that makes the sum
// of advances overflow before scaling; or, each of the three missing in turn, what is missing.
TEST(MeasureJob, AnswersEveryStringInOrderWithAllItsDigitsOrSaysWhatIsMissing) {
  const std::vector<std::string> texts = {"", "AV", "AV", "Ta漢字To \u2713", "two\nlines", ""};
  test::TempDir dir;
  const auto answer = [&](json job, const std::vector<std::string>& arguments = {}) {
    job["kind"] = "measure";
    return test::runJob(job, dir.path, arguments);
  };
  const auto measured = [](const std::vector<std::string>& strings, double size) {
    return json{{"ok", true}, {"widths", widths("Liberation Sans", strings, size)}};
  };
  const json none = {{"font", "Liberation Sans"}, {"size", 12}, {"strings", json::array()}};
  EXPECT_EQ(answer(none, {"--open"}), measured({}, 12));
  for (const double size : {37.3, 1e306}) {
    const json job = {{"font", "Liberation Sans"}, {"size", size}, {"strings", texts}};
    EXPECT_EQ(answer(job), measured(texts, size)) << size;
  }
  const json missing = {{"ok", false}, {"error", "measure needs font, size, strings"}};
  for (const json& job : {json{{"size", 12}, {"strings", {"a"}}},
                          json{{"font", "DejaVuSans"}, {"strings", {"a"}}},
                          json{{"font", "DejaVuSans"}, {"size", 12}}})
    EXPECT_EQ(answer(job), missing) << job;
}

TEST(MeasureJob, FindsAFontInstalledDuringAWatchSessionUntilItIsRemoved) {
  test::TempDir dir;
  const std::string fonts = dir / "data/fonts", font = fonts + "/Qovixy.ttf";
  ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  ::setenv("XDG_CACHE_HOME", (dir / "cache").c_str(), 1);
  std::thread watcher([&] {
    EXPECT_EQ(test::runHelper({"--watch", dir / "jobs", "--idle", "2"}).status, 0);
  });
  std::filesystem::create_directory(dir / "jobs");
  const auto job = [&](const std::string& name, const std::string& font) {
    test::writeJob(dir / "aside", {{"kind", "measure"}, {"out", dir / name}, {"font", font},
                                   {"size", 0}, {"strings", {"AV", "ffi"}}});
    std::filesystem::rename(dir / "aside", dir / ("jobs/" + name + ".tovijob"));
    EXPECT_TRUE(test::waitFor([&] { return test::exists(dir / name); })) << name;
    return test::readJson(dir / name);
  };
  const json answer = {{"ok", true}, {"widths", widths("DejaVu Sans", {"AV", "ffi"})}};
  EXPECT_EQ(job("before", "DejaVu Sans"), answer);
  // A copy of DejaVu Sans that also answers to the family name "Qovixy Sans": the name's bytes
  // swapped in place in its UTF-16 records, fontconfig keeps both names.
  std::string bytes = test::readFile(test::DEJAVU).value();
  const std::string from("\0D\0e\0j\0a\0V\0u", 12), to("\0Q\0o\0v\0i\0x\0y", 12);
  for (size_t at = 0; (at = bytes.find(from, at)) != std::string::npos; at += to.size())
    bytes.replace(at, to.size(), to);
  std::filesystem::create_directories(fonts);
  test::writeFile(font, bytes);
  EXPECT_EQ(job("installed", "Qovixy Sans"), answer);
  std::filesystem::remove(font);
  EXPECT_EQ(job("removed", "Qovixy Sans"),
            (json{{"ok", false}, {"error", "The font Qovixy Sans isn't installed on this Mac"}}));
  watcher.join();
  for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME"}) ::unsetenv(name);
}

}  // namespace
