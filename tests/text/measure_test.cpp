// "measure" jobs through the built helper, in each way a job can reach it.
#include <gtest/gtest.h>

#include "platform/fonts.h"
#include "support/support.h"

namespace {

using nlohmann::json;

json measureJob(const json& fields) {
  json job = fields;
  job["kind"] = "measure";
  return job;
}

TEST(MeasureJob, NamesEveryMissingFieldInOneMessage) {
  for (json fields : {json::object(), json{{"font", "DejaVuSans"}}, json{{"font", "DejaVuSans"}, {"size", 12}},
                      json{{"size", 12}, {"strings", {"a"}}}, json{{"font", nullptr}, {"size", 12}, {"strings", {}}}}) {
    EXPECT_EQ(test::errorOfJob(measureJob(fields)), "measure needs font, size, strings") << fields;
  }
}

TEST(MeasureJob, NamesAFontThatIsNotInstalledAsGiven) {
  for (std::string name : {"Helvetica Neue", "", "dejavu sans", "\"Quoted\" / name"}) {
    EXPECT_EQ(test::errorOfJob(measureJob({{"font", name}, {"size", 12}, {"strings", json::array()}})),
              "The font " + name + " isn't installed on this Mac");
  }
}

TEST(MeasureJob, AnswersEveryStringInOrderWithAllItsDigits) {
  test::TempDir dir;
  std::vector<std::string> strings = {"", "AV", "AV", "Ta漢字To \u2713", "two\nlines", ""};
  for (int i = 0; i < 1000; ++i) strings.push_back("Caption line " + std::to_string(i) + " with To and AV.");
  test::writeJob(dir / "m.tovijob", measureJob({{"out", dir / "r.json"}, {"font", "Liberation Sans"},
                                                {"size", 37.3}, {"strings", strings}}));
  EXPECT_EQ(test::runHelper({dir / "m.tovijob"}).status, 0);
  const json result = test::readJson(dir / "r.json");
  ASSERT_EQ(result["ok"], true) << result;
  auto font = fonts::Font::named("Liberation Sans", 37.3);
  ASSERT_EQ(result["widths"].size(), strings.size());
  for (size_t i = 0; i < strings.size(); ++i) EXPECT_EQ(result["widths"][i].get<double>(), font->width(strings[i])) << i;

  test::writeJob(dir / "e.tovijob", measureJob({{"out", dir / "e.json"}, {"font", "DejaVuSans"}, {"size", 0},
                                                {"strings", json::array()}}));
  test::runHelper({dir / "e.tovijob"});
  EXPECT_EQ(test::readFile(dir / "e.json"), R"({"ok":true,"widths":[]})");
}

TEST(MeasureJob, RunsInWatchAndOpenDocumentModes) {
  test::TempDir dir;
  const json job = measureJob({{"font", "DejaVu Sans"}, {"size", 0}, {"strings", {"AV", "ffi"}}});
  const std::vector<double> expected = {fonts::Font::named("DejaVuSans", 12)->width("AV"),
                                        fonts::Font::named("DejaVuSans", 12)->width("ffi")};
  json watched = job, opened = job;
  watched["out"] = dir / "watched.json";
  opened["out"] = dir / "opened.json";
  test::writeJob(dir / "w.tovijob", watched);
  test::writeJob(dir / "opened.job", opened);
  EXPECT_EQ(test::runHelper({"--watch", dir.path, "--idle", "0.2"}).status, 0);
  EXPECT_EQ(test::runHelper({"--open", dir / "opened.job"}).status, 0);
  for (std::string out : {"watched.json", "opened.json"}) {
    EXPECT_EQ(test::readJson(dir / out), (json{{"ok", true}, {"widths", expected}})) << out;
  }
}

}  // namespace
