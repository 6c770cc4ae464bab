// whisper-cli's standard error and transcript, as the helper reads them.
#include <gtest/gtest.h>

#include "speech/whisper_output.h"

namespace {

TEST(Progress, TheLastMatchOfAChunkDecides) {
  EXPECT_EQ(lastProgress("whisper_print_progress_callback: progress =  40%\n"), 40);
  EXPECT_EQ(lastProgress("progress = 10%\nprogress = 15%\n"), 15);
  EXPECT_EQ(lastProgress("progress = 50%\nprogress = 40%\nother\n"), 40);  // not the largest
  EXPECT_EQ(lastProgress("progress =\t \u3000 7%"), 7);  // any Unicode white space, or none
  EXPECT_EQ(lastProgress("progress =7%"), 7);
  EXPECT_EQ(lastProgress("progress = 30%\nprogress = x%\n"), 30);  // a non-match is passed over
  EXPECT_EQ(lastProgress("progress = 007%"), 7);
}

TEST(Progress, LinesThatAreNotProgressWriteNothing) {
  EXPECT_FALSE(lastProgress("progress= 40%"));
  EXPECT_FALSE(lastProgress("progress = 40 %"));
  EXPECT_FALSE(lastProgress("progress = 4"));  // the first half of a split line
  EXPECT_FALSE(lastProgress("0%\n"));          // and its second half
  EXPECT_FALSE(lastProgress(""));
}

TEST(Progress, ALastNumberThatCannotBeReadEndsTheSearch) {
  // Arabic-Indic digits match \d but are not a number to read; the earlier line is not used.
  EXPECT_FALSE(lastProgress("progress = 30%\nprogress = \u0664\u0660%\n"));
  EXPECT_FALSE(lastProgress("progress = 30%\nprogress = 99999999999999999999%\n"));
  EXPECT_EQ(lastProgress("progress = 9223372036854775807%"), INT64_MAX);
}

TEST(StderrTail, KeepsTheLastUserPerceivedCharacters) {
  StderrTail tail(5);
  tail.append("abc");
  tail.append("de\xCC\x81");  // e + combining acute: one character with the e
  tail.append("fg");
  EXPECT_EQ(tail.text(), "cde\xCC\x81" "fg");
  tail.append("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7");  // a flag: two code points, one character
  EXPECT_EQ(tail.text(), "de\xCC\x81" "fg\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7");

  StderrTail big;
  for (int i = 0; i < 300; ++i) big.append("0123456789");
  EXPECT_EQ(big.text().size(), 2000u);
}

TEST(StderrTail, SummaryIsTheLastThreeNonEmptyLines) {
  StderrTail tail;
  EXPECT_EQ(tail.summary(), "");
  tail.append("a\n\nb\nc\nd\n");
  EXPECT_EQ(tail.summary(), "b | c | d");
  StderrTail two;
  two.append("only\n\n\nlines");
  EXPECT_EQ(two.summary(), "only | lines");
}

TEST(Transcript, ParsesWhatWhisperCliWritesAsItIs) {
  auto value = parseTranscript(R"({"transcription":[{"text":" Hi \"there\" \\ \u00e9"}],"n":1.5})");
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)["transcription"][0]["text"], " Hi \"there\" \\ \xC3\xA9");
  EXPECT_TRUE(parseTranscript("[1, 2]"));
}

TEST(Transcript, RawControlCharactersAndBrokenUtf8InsideStringsAreRepaired) {
  // A token holding a tab and a line feed, and a multi-byte character split across two tokens.
  auto value = parseTranscript("{\"tokens\":[{\"text\":\"a\tb\nc\x01\"},{\"text\":\" \xE6\x97\"},"
                               "{\"text\":\"\xA5 x\"},{\"text\":\"\xC0\xAF\xED\xA0\x80\"}]}");
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)["tokens"][0]["text"], "a\tb\nc\x01");
  EXPECT_EQ((*value)["tokens"][1]["text"], " \xEF\xBF\xBD");  // one U+FFFD per broken piece
  EXPECT_EQ((*value)["tokens"][2]["text"], "\xEF\xBF\xBD x");
  EXPECT_EQ((*value)["tokens"][3]["text"], "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Transcript, AnythingElseThatIsNotJsonFails) {
  EXPECT_FALSE(parseTranscript(""));
  EXPECT_FALSE(parseTranscript("not json"));
  EXPECT_FALSE(parseTranscript("\"a string\""));
  EXPECT_FALSE(parseTranscript("42"));
  EXPECT_FALSE(parseTranscript("{\"a\": 1"));
  EXPECT_FALSE(parseTranscript("{\"a\": 1} trailing"));
  EXPECT_FALSE(parseTranscript("{\"a\":\x01 1}"));      // a control character outside a string
  EXPECT_FALSE(parseTranscript("{\"a\": \xFF}"));       // bad bytes outside a string
  EXPECT_FALSE(parseTranscript("{\"a\": \"\\q\"}"));    // a bad escape
}

}  // namespace
