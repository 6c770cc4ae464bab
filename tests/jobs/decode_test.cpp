// The job decoder's type rules: what decodes, what fails, and what each field holds.
#include <gtest/gtest.h>

#include "jobs/job.h"

namespace {

std::optional<Job> decode(const std::string& text) { return decodeJob(text); }

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
  EXPECT_FALSE(job->modelURL);
  EXPECT_EQ(job->kind, "clipboardRead");
  EXPECT_EQ(job->wav, "");  // an empty string is a present value
  EXPECT_FALSE(job->strings);
}

TEST(Decode, StringFieldsTakeOnlyStrings) {
  for (const char* key : {"kind", "wav", "model", "whisper", "lang", "prompt", "dtw", "modelURL",
                          "modelSHA", "font", "xmlPath", "id"}) {
    for (const char* value : {"1", "true", "[]", "{}", "1.5"}) {
      std::string text = std::string(R"({"out":"o",")") + key + "\":" + value + "}";
      EXPECT_FALSE(decode(text)) << text;
    }
    std::string text = std::string(R"({"out":"o",")") + key + R"(":" ~/a\/b\u00e9 "})";
    auto job = decode(text);
    ASSERT_TRUE(job) << text;
  }
  auto job = decode(R"({"out":"o","prompt":" ~/x ","id":"\ud83d\ude00","lang":")" "\xC3\xA9\xE6\xBC\xA2\"}");
  ASSERT_TRUE(job);
  EXPECT_EQ(job->lang, "\xC3\xA9\xE6\xBC\xA2");  // raw UTF-8
  EXPECT_EQ(job->prompt, " ~/x ");  // taken unchanged: no trimming, no "~" expansion
  EXPECT_EQ(job->id, "\xF0\x9F\x98\x80");
}

TEST(Decode, SizeTakesAnyNumber) {
  EXPECT_EQ(decode(R"({"out":"o","size":12})")->size, 12.0);
  EXPECT_EQ(decode(R"({"out":"o","size":-0.5})")->size, -0.5);
  EXPECT_EQ(decode(R"({"out":"o","size":18446744073709551615})")->size, 18446744073709551615.0);
  EXPECT_FALSE(decode(R"({"out":"o","size":"12"})"));
  for (const char* huge : {"1e999", "-1e400", "[1e400]"})
    EXPECT_FALSE(decode(std::string(R"({"out":"o","size":)") + huge + "}")) << huge;
}

TEST(Decode, ModelSizeTakesWholeNumbersInTheSigned64BitRange) {
  const std::pair<const char*, int64_t> whole[] = {
      {"5", 5}, {"5.0", 5}, {"1e3", 1000}, {"-7", -7}, {"0", 0},
      {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN},
      {"-9.223372036854775808e18", INT64_MIN}, {"-9223372036854775808.0", INT64_MIN},
      {"0.0e5", 0}, {"-0", 0}, {"12.50e1", 125}, {"922337203685477580.7e1", INT64_MAX}};
  for (const auto& [text, value] : whole) {
    auto job = decode(std::string(R"({"out":"o","modelSize":)") + text + "}");
    ASSERT_TRUE(job) << text;
    EXPECT_EQ(job->modelSize, value) << text;
  }
  // Beyond the range or not whole by the digits themselves, also where a double would round.
  for (const char* text : {"5.5", "9223372036854775808", "9.3e18", "-9.3e18", "1e300", "\"5\"",
                           "true", "0.1", "-9223372036854775809", "-9223372036854775808.5",
                           "9223372036854775807.5", "4503599627370496.5", "1e400", "-1e400",
                           "1e99999999999999999999"}) {
    EXPECT_FALSE(decode(std::string(R"({"out":"o","modelSize":)") + text + "}")) << text;
  }
}

TEST(Decode, StringsTakesOnlyAnArrayOfStrings) {
  auto empty = decode(R"({"out":"o","strings":[]})");
  ASSERT_TRUE(empty && empty->strings);
  EXPECT_TRUE(empty->strings->empty());  // present, not absent
  auto two = decode(R"({"out":"o","strings":["a","a",""]})");
  EXPECT_EQ(two->strings, (std::vector<std::string>{"a", "a", ""}));
  for (const char* value : {R"(["a",1])", R"(["a",null])", R"([["a"]])", R"([{}])", R"("a")"})
    EXPECT_FALSE(decode(std::string(R"({"out":"o","strings":)") + value + "}")) << value;
}

TEST(Decode, SurvivesHostileInput) {
  std::string deep(500000, '[');
  EXPECT_FALSE(decode(R"({"out":"o","x":)" + deep));
  // Nesting is bounded, counting the job's own object.
  const auto nested = [](size_t depth) {
    return R"({"out":"o","x":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
  };
  EXPECT_TRUE(decode(nested(MAX_NESTING)));
  EXPECT_FALSE(decode(nested(MAX_NESTING + 1)));
  EXPECT_FALSE(decode(nested(200000)));
  EXPECT_FALSE(decode(std::string("{\"out\":\"\xFF\xFE\"}")));  // not UTF-8
  EXPECT_FALSE(decode(std::string("{\"out\":\"a\0b\"}", 13)));
  auto nul = decode(R"({"out":"a\u0000b"})");
  ASSERT_TRUE(nul);
  EXPECT_EQ(nul->out, std::string("a\0b", 3));
}

}  // namespace
