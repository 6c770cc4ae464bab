// The result writer's bytes and its all-or-nothing file handling.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "jobs/utf8.h"
#include "jobs/writer.h"
#include "support/support.h"

namespace {

using nlohmann::json;

TEST(Writer, WritesCompactJsonWithEscapedSlashesAndRawUtf8) {
  test::TempDir dir;
  const std::string path = dir / "r.json";
  write(json{{"error", "Audio not found: /a/b é ⌘\n\x01"}}, path);
  EXPECT_EQ(test::readFile(path),
            "{\"error\":\"Audio not found: \\/a\\/b \xC3\xA9 \xE2\x8C\x98\\n\\u0001\"}");
  EXPECT_EQ(test::readJson(path)["error"], "Audio not found: /a/b é ⌘\n\x01");
  EXPECT_FALSE(test::exists(path + ".tmp"));

  write(json{{"ok", true}, {"n", json::array({1, 2.5, -100.0})}, {"k/", json::object()}}, path);
  auto bytes = *test::readFile(path);
  EXPECT_EQ(bytes.find(' '), std::string::npos);
  EXPECT_NE(bytes.back(), '\n');
  EXPECT_NE(bytes.find("\"k\\/\":{}"), std::string::npos);
  EXPECT_EQ(test::readJson(path)["n"][2], -100.0);
}

TEST(Writer, WritesNothingForAValueThatCannotBeSerialised) {
  test::TempDir dir;
  const std::string path = dir / "r.json";
  test::writeFile(path, "earlier");
  write(json{{"x", NAN}}, path);
  write(json{{"x", json::array({1.0, INFINITY})}}, path);
  write(json{{"x", "\xFF not UTF-8"}}, path);
  EXPECT_EQ(test::readFile(path), "earlier");
  EXPECT_FALSE(test::exists(path + ".tmp"));
}

TEST(Writer, WritesNothingWhereThePathCannotBeUsed) {
  test::TempDir dir;
  write(json{{"ok", true}}, dir / "missing/r.json");
  EXPECT_FALSE(test::exists(dir / "missing"));

  // A NUL inside the path must not shorten it to another, usable path.
  write(json{{"ok", true}}, dir / std::string("r.json\0.x", 9));
  EXPECT_FALSE(test::exists(dir / "r.json"));
  EXPECT_FALSE(test::exists(dir / "r.json.tmp"));
}

TEST(Writer, AResultThatCannotBeWrittenLeavesNoResultAtAll) {
  test::TempDir dir;
  const std::string path = dir / "r.json";
  // A stale result must not pass for the answer: it goes too, and nothing half-made stays.
  const std::function<bool(int)> failing[] = {
      [](int) { return false; },
      [](int fd) { return ::write(fd, "{\"ok\":", 6) == 6 && false; },
      [](int) -> bool { throw std::runtime_error("disk gone"); }};
  for (const auto& fill : failing) {
    test::writeFile(path, "earlier");
    bool placed = true;
    try {
      placed = writeStream(path, fill);
    } catch (const std::runtime_error&) {
      placed = false;  // thrown on once the files are cleared away
    }
    EXPECT_FALSE(placed);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
  }
  // A folder in the result's place is never removed for it.
  ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
  test::writeFile(path + "/inside", "x");
  EXPECT_FALSE(writeBytes("{}", path));
  EXPECT_EQ(test::readFile(path + "/inside"), "x");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1);
}

TEST(Utf8, RepairReplacesOnlyBrokenSequences) {
  EXPECT_EQ(repairUtf8("ok é ⌘ \xF0\x9F\x98\x80"), "ok é ⌘ \xF0\x9F\x98\x80");
  EXPECT_EQ(repairUtf8("a\xFF" "b\xC3"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  EXPECT_EQ(repairUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // a surrogate
}

}  // namespace
