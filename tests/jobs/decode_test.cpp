// The job decoder's type rules: what decodes, what fails, and what each field holds.
#include <gtest/gtest.h>

#include "jobs/job.h"

namespace {

std::optional<Job> decode(const std::string& text) { return decodeJob(text); }
// A job with "out" and `key` holding the JSON text `value`.
std::optional<Job> decode(const std::string& key, const std::string& value) {
  return decodeJob(R"({"out":"o",")" + key + "\":" + value + "}");
}

TEST(Decode, RefusesWhatIsNotAnObjectWithAStringOut) {
  for (const char* text : {"", " ", "[]", "\"x\"", "42", "null", "{", "{}", R"({"out": null})",
                           R"({"out": 5})", R"({"out": ["a"]})", R"({"Out": "/r"})",
                           R"({"out": "/r"} x)", R"({"out": "/r", })", "\xEF\xBB\xBF"}) {
    EXPECT_FALSE(decode(text)) << text;
  }
  // Bytes after a NUL still count: the text is not JSON.
  EXPECT_FALSE(decode(std::string("{\"out\":\"/r\"}\0garbage", 20)));
  EXPECT_FALSE(decode(std::string("{\"out\":\"/r\"}\0", 13)));
}

TEST(Decode, NullIsAbsentAndUnknownKeysAreIgnored) {
  auto only = decode(R"({"out": "/a/r.json"})");
  ASSERT_TRUE(only);
  EXPECT_EQ(only->out, "/a/r.json");
  EXPECT_FALSE(only->kind || only->wav || only->model || only->size || only->strings || only->modelSize);
  // Numbers beyond a double are values like any other under a key that is ignored.
  auto job = decode(R"({"out":"o","modelURL":null,"Kind":"measure","x":{"y":[1,{"z":null}]},"n":1e400,)"
                    R"("m":[-1E+400,"1e400",2],"kind":"clipboardRead","wav":"","strings":null})");
  ASSERT_TRUE(job);
  EXPECT_FALSE(job->modelURL || job->strings);
  EXPECT_EQ(job->kind, "clipboardRead");
  EXPECT_EQ(job->wav, "");  // an empty string is a present value
}

TEST(Decode, StringFieldsTakeOnlyStrings) {
  for (const char* key : {"kind", "wav", "model", "whisper", "lang", "prompt", "dtw", "modelURL",
                          "modelSHA", "font", "xmlPath", "id"}) {
    for (const char* value : {"1", "true", "[]", "{}", "1.5"}) EXPECT_FALSE(decode(key, value)) << key << value;
    EXPECT_TRUE(decode(key, R"(" ~/a\/b\u00e9 ")")) << key;
  }
  auto job = decode(R"({"out":"o","prompt":" ~/x ","id":"\ud83d\ude00","lang":")" "\xC3\xA9\xE6\xBC\xA2\"}");
  ASSERT_TRUE(job);
  EXPECT_EQ(job->lang, "\xC3\xA9\xE6\xBC\xA2");  // raw UTF-8
  EXPECT_EQ(job->prompt, " ~/x ");  // taken unchanged: no trimming, no "~" expansion
  EXPECT_EQ(job->id, "\xF0\x9F\x98\x80");
}

TEST(Decode, SizeTakesAnyNumber) {
  const std::pair<const char*, double> numbers[] = {
      {"12", 12.0}, {"-0.5", -0.5}, {"18446744073709551615", 18446744073709551615.0}};
  for (const auto& [text, value] : numbers) EXPECT_EQ(decode("size", text)->size, value) << text;
  for (const char* bad : {"\"12\"", "1e999", "-1e400", "[1e400]"}) EXPECT_FALSE(decode("size", bad)) << bad;
}

TEST(Decode, ModelSizeTakesWholeNumbersInTheSigned64BitRange) {
  const std::pair<const char*, int64_t> whole[] = {
      {"5", 5}, {"5.0", 5}, {"1e3", 1000}, {"-7", -7}, {"0", 0},
      {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN},
      {"-9.223372036854775808e18", INT64_MIN}, {"-9223372036854775808.0", INT64_MIN},
      {"0.0e5", 0}, {"-0", 0}, {"12.50e1", 125}, {"922337203685477580.7e1", INT64_MAX}};
  for (const auto& [text, value] : whole) {
    auto job = decode("modelSize", text);
    ASSERT_TRUE(job) << text;
    EXPECT_EQ(job->modelSize, value) << text;
  }
  // Beyond the range or not whole by the digits themselves, also where a double would round.
  for (const char* text : {"5.5", "9223372036854775808", "9.3e18", "-9.3e18", "1e300", "\"5\"",
                           "true", "0.1", "-9223372036854775809", "-9223372036854775808.5",
                           "9223372036854775807.5", "4503599627370496.5", "1e400", "-1e400",
                           "1e99999999999999999999"})
    EXPECT_FALSE(decode("modelSize", text)) << text;
}

TEST(Decode, StringsTakesOnlyAnArrayOfStrings) {
  EXPECT_EQ(decode("strings", "[]")->strings, std::vector<std::string>{});  // present, not absent
  EXPECT_EQ(decode("strings", R"(["a","a",""])")->strings, (std::vector<std::string>{"a", "a", ""}));
  for (const char* value : {R"(["a",1])", R"(["a",null])", R"([["a"]])", R"([{}])", R"("a")"})
    EXPECT_FALSE(decode("strings", value)) << value;
}

TEST(Decode, SurvivesHostileInput) {
  EXPECT_FALSE(decode("x", std::string(500000, '[')));
  // Nesting is bounded, counting the job's own object.
  const auto nested = [](size_t depth) { return decode("x", std::string(depth - 1, '[') + std::string(depth - 1, ']')); };
  EXPECT_TRUE(nested(MAX_NESTING));
  EXPECT_FALSE(nested(MAX_NESTING + 1));
  EXPECT_FALSE(nested(200000));
  EXPECT_FALSE(decode(std::string("{\"out\":\"\xFF\xFE\"}")));  // not UTF-8
  EXPECT_FALSE(decode(std::string("{\"out\":\"a\0b\"}", 13)));
  auto nul = decode(R"({"out":"a\u0000b"})");
  ASSERT_TRUE(nul);
  EXPECT_EQ(nul->out, std::string("a\0b", 3));
}

}  // namespace
