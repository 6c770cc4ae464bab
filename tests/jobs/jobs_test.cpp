// What every worker uses: the job decoder's type rules (what decodes, what fails, and what each
// field holds), and the result writer's bytes and its all-or-nothing file handling.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <tuple>

#include "jobs/job.h"
#include "jobs/utf8.h"
#include "jobs/writer.h"
#include "support/support.h"

// An expected job names only its present fields; the others are meant to be absent.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using nlohmann::json;

// A job with "out" and `key` holding the JSON text `value`.
std::optional<Job> decode(const std::string& key, const std::string& value) {
  return decodeJob(R"({"out":"o",")" + key + "\":" + value + "}");
}

auto fields(const Job& j) {
  return std::tie(j.out, j.kind, j.wav, j.model, j.whisper, j.lang, j.prompt, j.dtw, j.modelURL,
                  j.modelSHA, j.modelSize, j.font, j.size, j.strings, j.xmlPath, j.id);
}

TEST(Decode, TakesAnObjectWithAStringOutAndKnownKeysOfTheirOwnType) {
  const std::pair<std::string, Job> decoded[] = {
      // Null is absent, "" a present value; unknown keys are ignored, numbers beyond a double too.
      {R"({"out":"o","modelURL":null,"Kind":"measure","x":{"y":[1,{"z":null}]},"n":1e400,)"
       R"("m":[-1E+400,"1e400",2],"kind":"clipboardRead","wav":"","strings":null,"id":"i"})",
       {.out = "o", .kind = "clipboardRead", .wav = "", .id = "i"}},
      // Strings are taken unchanged (no trimming, no "~" expansion), an escaped NUL and raw UTF-8
      // bytes too.
      {R"({"out":"a\u0000b","prompt":" ~/x ",)" "\"lang\":\"\xC3\xA9\xE6\xBC\xA2\"}",
       {.out = std::string("a\0b", 3), .lang = "\xC3\xA9\xE6\xBC\xA2", .prompt = " ~/x "}},
      {R"({ "out": "o", "size": 18446744073709551615, "strings": [] })",
       {.out = "o", .size = 18446744073709551615.0, .strings = Strings{}}},
      {R"({"out":"o","size":-0.5,"strings":["a","a",""]})",
       {.out = "o", .size = -0.5, .strings = Strings({"a", "a", ""})}}};
  for (const auto& [text, job] : decoded)
    EXPECT_EQ(fields(decodeJob(text).value()), fields(job)) << text;
  // "modelSize": whole numbers in the signed 64-bit range, by the digits themselves.
  const std::pair<int64_t, std::vector<const char*>> whole[] = {
      {5, {"5", "5.0"}},
      {1000, {"1e3"}},
      {-7, {"-7"}},
      {0, {"0.0e5"}},
      {INT64_MAX, {"9223372036854775807", "922337203685477580.7e1"}},
      {INT64_MIN, {"-9223372036854775808", "-9.223372036854775808e18"}}};
  for (const auto& [value, texts] : whole)
    for (const char* text : texts)
      EXPECT_EQ(decode("modelSize", text).value().modelSize, value) << text;
  // Nesting is bounded, counting the job's own object.
  EXPECT_TRUE(decode("x", std::string(MAX_NESTING - 1, '[') + std::string(MAX_NESTING - 1, ']')));
}

TEST(Decode, RefusesAnythingElseWhateverTheInput) {
  // Keys are matched exactly, and text after the object counts, also after a NUL (where the
  // parser would end the input). What is no JSON at all is the parser's to find.
  for (const std::string& text : std::vector<std::string>{
           "", "[]", "\"x\"", "42", "null", R"({"Out": "/r"})", R"({"out": null})",
           R"({"out": 5})", R"({"out": "/r"} x)", std::string("{\"out\":\"/r\"}\0garbage", 20)})
    EXPECT_FALSE(decodeJob(text)) << text;
  std::vector<std::pair<std::string, std::string>> wrong = {
      {"x", std::string(MAX_NESTING, '[') + std::string(MAX_NESTING, ']')}};
  for (const char* key : {"kind", "wav", "model", "whisper", "lang", "prompt", "dtw", "modelURL",
                          "modelSHA", "font", "xmlPath", "id"}) {
    for (const char* value : {"1", "true", "[]", "{}", "1.5"}) wrong.emplace_back(key, value);
    EXPECT_TRUE(decode(key, R"(" ~/a\/b\u00e9 ")")) << key;
  }
  for (const char* value : {R"(["a",1])", R"(["a",null])", R"([["a"]])", R"([{}])", R"("a")"})
    wrong.emplace_back("strings", value);
  // Beyond the range or not whole, also where a double would round; beyond a double (any known
  // key's number: "size" too; an exponent of any length, which the double's reading stops at).
  // A text where "size" wants a number: the app test's "bad.tovijob".
  for (const char* value : {"5.5", "4503599627370496.5", "9223372036854775808", "9.3e18",
                            "-9223372036854775809", "1e300", "1e400", "\"5\""})
    wrong.emplace_back("modelSize", value);
  for (const auto& [key, value] : wrong)
    EXPECT_FALSE(decode(key, value)) << key << " " << value.substr(0, 40);
}

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
