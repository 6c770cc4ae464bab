// whisper-cli's standard error and transcript, as the helper reads them.
#include <gtest/gtest.h>

#include "speech/whisper_output.h"

namespace {

TEST(WhisperOutput, TheLastProgressOfAChunk) {
  const std::vector<std::pair<std::string, std::optional<int64_t>>> cases{
      {"whisper_print_progress_callback: progress =  40%\n", 40},
      {"progress = 50%\nprogress = 40%\nother\n", 40},  // the last, not the largest
      {"progress =\t \u3000 7%", 7}, {"progress =7%", 7}, {"progress = 007%", 7},  // any Unicode white space
      {"progress = 30%\nprogress = x%\n", 30},  // a line that does not match is passed over
      {"progress = 9223372036854775807%", INT64_MAX},
      {"progress= 40%", {}}, {"progress = 40 %", {}}, {"progress = 4", {}}, {"0%\n", {}}, {"", {}},
      // A last number that cannot be read ends the search: Arabic-Indic digits match \d but are no
      // number, and the earlier line is not used.
      {"progress = 30%\nprogress = \u0664\u0660%\n", {}},
      {"progress = 30%\nprogress = 99999999999999999999%\n", {}},
  };
  for (const auto& [chunk, want] : cases) EXPECT_EQ(lastProgress(chunk), want) << chunk;
}

TEST(WhisperOutput, TheTailKeepsTheLastUserPerceivedCharacters) {
  StderrTail tail(5);
  tail.append("abc");
  tail.append("de\xCC\x81");  // e + combining acute: one character with the e
  tail.append("fg");
  EXPECT_EQ(tail.text(), "cde\xCC\x81" "fg");
  tail.append("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7");  // a flag: two code points, one character
  EXPECT_EQ(tail.text(), "de\xCC\x81" "fg\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7");
  StderrTail big;
  for (int i = 0; i < 300; ++i) big.append("0123456789\n");
  EXPECT_EQ(big.text().size(), 2000u);
  big.append("only\n\n\nlines");
  EXPECT_EQ(big.summary(), "0123456789 | only | lines");
}

TEST(WhisperOutput, TranscriptsAreRepairedOnlyInsideStrings) {
  // Raw control characters, a character split across two tokens, ill-formed sequences (one U+FFFD
  // each), and the escapes whisper-cli does write.
  auto value = parseTranscript("{\"t\":[\"a\tb\nc\x01\",\" \xE6\x97\",\"\xA5 x\",\"\xC0\xAF\xED\xA0\x80\","
                               "\" Hi \\\"there\\\" \\\\ \\u00e9\"],\"n\":1.5}");
  ASSERT_TRUE(value);
  const std::string bad = "\xEF\xBF\xBD";
  EXPECT_EQ(*value, nlohmann::json({{"t", {"a\tb\nc\x01", " " + bad, bad + " x", bad + bad + bad + bad + bad,
                                           " Hi \"there\" \\ \xC3\xA9"}}, {"n", 1.5}}));
  EXPECT_TRUE(parseTranscript("[1, 2]"));
  // Nothing outside strings is repaired, nor are bad escapes.
  for (const char* wrong : {"", "not json", "\"a string\"", "42", "{\"a\": 1", "{\"a\": 1} trailing",
                            "{\"a\":\x01 1}", "{\"a\": \xFF}", "{\"a\": \"\\q\"}"})
    EXPECT_FALSE(parseTranscript(wrong)) << wrong;
}

}  // namespace
