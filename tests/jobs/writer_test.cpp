// The result writer's bytes and its all-or-nothing file handling.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <stdexcept>

#include "jobs/utf8.h"
#include "jobs/writer.h"
#include "support/support.h"

namespace {

using nlohmann::json;

TEST(Writer, WritesCompactJsonWithEscapedSlashesAndRawUtf8OrNoResultAtAll) {
  test::TempDir dir;
  const std::string path = dir / "r.json";
  write(json{{"error", "Audio not found: /a/b é ⌘\n\x01"}, {"n", json::array({1, 2.5, -100.0})},
             {"k/", json::object()}},
        path);
  const auto written = test::readFile(path);
  EXPECT_EQ(written, "{\"error\":\"Audio not found: \\/a\\/b \xC3\xA9 \xE2\x8C\x98\\n\\u0001\","
                     "\"k\\/\":{},\"n\":[1,2.5,-100.0]}");
  // A value JSON cannot hold is not written, and the earlier file stays.
  for (const json& value : {json{{"x", json::array({1.0, INFINITY})}},
                            json{{"x", "\xFF not UTF-8"}}})
    write(value, path);
  EXPECT_EQ(test::readFile(path), written);
  // A fill that throws: a stale result must not pass for the answer, it goes too, and nothing
  // half-made stays. (A fill that fails: the app test's full disk.)
  test::writeFile(path, "earlier");
  EXPECT_THROW(writeStream(path, [](int) -> bool { throw std::runtime_error("disk gone"); }),
               std::runtime_error);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path));
}

TEST(Utf8, RepairReplacesOnlyBrokenSequences) {
  EXPECT_EQ(repairUtf8("ok é ⌘ \xF0\x9F\x98\x80"), "ok é ⌘ \xF0\x9F\x98\x80");
  EXPECT_EQ(repairUtf8("a\xFF" "b\xC3"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

}  // namespace
