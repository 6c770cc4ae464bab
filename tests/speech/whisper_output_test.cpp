// whisper-cli's standard error and transcript, as the helper reads them.
#include <gtest/gtest.h>

#include "speech/transcript_filter.h"
#include "speech/whisper_stderr.h"

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
  for (const char* piece : {"abc", "de\xCC\x81", "fg"}) tail.append(piece);  // e + combining acute: one character
  EXPECT_EQ(tail.text(), "cde\xCC\x81" "fg");
  tail.append("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7");  // a flag: two code points, one character
  EXPECT_EQ(tail.text(), "de\xCC\x81" "fg\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7");
  StderrTail big;
  for (int i = 0; i < 300; ++i) big.append("0123456789\n");
  EXPECT_EQ(big.text().size(), 2000u);
  big.append("only\n\n\nlines");
  EXPECT_EQ(big.summary(), "0123456789 | only | lines");
}

// The compact form of a transcript fed `size` bytes at a time, or nothing when it is refused.
std::optional<std::string> filtered(std::string_view bytes, size_t size) {
  TranscriptFilter filter;
  std::string out;
  const auto sink = [&](std::string_view piece) { return out += piece, true; };
  for (size_t at = 0; at < bytes.size(); at += size)
    if (!filter.feed(bytes.substr(at, size), sink)) return std::nullopt;
  if (!filter.finish()) return std::nullopt;
  return out;
}

TEST(WhisperOutput, TranscriptsPassCompactCheckedAndRepairedOnlyInsideStrings) {
  const std::string bad = "\xEF\xBF\xBD", deep(MAX_NESTING, '['), closed(MAX_NESTING, ']'), controls(300000, '\x01');
  std::string repaired;
  while (repaired.size() < 6 * controls.size()) repaired += "\\u0001";
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
      // White space goes, "/" is escaped, escapes and numbers stay as written.
      {"\xEF\xBB\xBF {\n\t\"a/b\" : [ 1 , -0, 2.50, -1.5e-3, 1E+2, 0.0e999, 1e-999, 1.7976931348623158e308, "
       "true, false, null, {}, [] ],\r\n \"s\": \"\\/ \\u00e9 \\ud83d\\uDE00\\\"\" }\n",
       R"({"a\/b":[1,-0,2.50,-1.5e-3,1E+2,0.0e999,1e-999,1.7976931348623158e308,true,false,null,{},[]],)"
       R"("s":"\/ \u00e9 \ud83d\uDE00\""})"},
      // Raw control characters, a character split across two tokens, ill-formed sequences (one
      // U+FFFD each).
      {"{\"t\":[\"a\tb\nc\x01\x0b\",\" \xE6\x97\",\"\xA5 x\",\"\xC0\xAF\xED\xA0\x80\xF0\x9F\x98\x80\"]}",
       "{\"t\":[\"a\\tb\\nc\\u0001\\u000b\",\" " + bad + "\",\"" + bad + " x\",\"" + bad + bad + bad + bad + bad +
           "\xF0\x9F\x98\x80\"]}"},
      {"[\"" + controls + "\"]", "[\"" + repaired + "\"]"},  // more than one step of output
      {deep + closed, deep + closed},
      // Nothing outside strings is repaired, nor are bad escapes; a number is refused where a double
      // cannot hold it.
      {"", {}}, {"not json", {}}, {"\"a string\"", {}}, {"42", {}}, {"{\"a\": 1", {}}, {"{\"a\": 1} x", {}},
      {"{}{}", {}}, {"{\"a\":\x01 1}", {}}, {"{\"a\": \xFF}", {}}, {"[\"\\q\"]", {}}, {"[\"\\\x01\"]", {}},
      {"[01]", {}}, {"[1.]", {}}, {"[.5]", {}}, {"[-]", {}}, {"[1e]", {}}, {"[+1]", {}}, {"[tru]", {}},
      {"[truex]", {}}, {"[1,]", {}}, {"{\"a\":1,}", {}}, {"{\"a\" 1}", {}}, {"{1:2}", {}}, {"[1}", {}},
      {"{]", {}}, {"\xEF\xBB{}", {}}, {"[\"\\ud800\"]", {}}, {"[\"\\udc00\"]", {}}, {"[\"\\ud800\\u0041\"]", {}},
      {"[\"\\u12g4\"]", {}}, {"[1e400]", {}}, {"[-0.1e310]", {}}, {"[1.7976931348623159e308]", {}},
      {"[" + std::string(309, '9') + "]", {}}, {"[" + deep + closed + "]", {}}};
  for (const auto& [bytes, want] : cases)
    for (size_t size : {size_t{1}, size_t{3}, bytes.size() + 1})
      EXPECT_EQ(filtered(bytes, size), want) << bytes.substr(0, 100) << " in pieces of " << size;
}

}  // namespace
