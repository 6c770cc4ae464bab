// Holds the transcript filter against a parse into a tree of what the lenient repair makes of the
// same bytes: the filter accepts exactly what the parse accepts within the depth bound, its output
// is the same JSON value, compact, with no "/" unescaped, and it does not depend on where the
// chunks are cut (the first byte of the input chooses the chunk size).
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "jobs/utf8.h"
#include "speech/transcript_filter.h"

namespace {

// The repair: inside strings, raw control characters become \u00XX escapes and ill-formed UTF-8
// becomes U+FFFD; escapes are copied as they are.
std::string repaired(std::string_view bytes) {
  std::string out;
  bool inString = false;
  size_t at = 0;
  while (at < bytes.size()) {
    const unsigned char c = static_cast<unsigned char>(bytes[at]);
    if (!inString || c == '"') {
      inString = inString != (c == '"');
      out += static_cast<char>(c);
      ++at;
    } else if (c == '\\') {
      out.append(bytes.substr(at, 2));
      at += 2;
    } else if (c < 0x20) {
      static const char* HEX = "0123456789abcdef";
      out += "\\u00";
      out += HEX[c >> 4];
      out += HEX[c & 15];
      ++at;
    } else {
      size_t end = at;
      while (end < bytes.size() && bytes[end] != '"' && bytes[end] != '\\' &&
             static_cast<unsigned char>(bytes[end]) >= 0x20)
        ++end;
      out += repairUtf8(bytes.substr(at, end - at));
      at = end;
    }
  }
  return out;
}

// The deepest nesting of brackets outside strings.
size_t depth(std::string_view json) {
  size_t level = 0, deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      deepest = std::max(deepest, ++level);
    } else if ((c == '}' || c == ']') && level > 0) {
      --level;
    }
  }
  return deepest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t chunk = data[0] % 16 + 1;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  TranscriptFilter filter;
  std::string out;
  bool accepted = true;
  for (size_t at = 0; at < bytes.size() && accepted; at += chunk)
    accepted = filter.feed(bytes.substr(at, chunk), [&](std::string_view piece) { return out += piece, true; });
  accepted = accepted && filter.finish();

  const std::string text = repaired(bytes);
  const auto tree = nlohmann::json::parse(text, nullptr, false);
  // nlohmann's reader stops at a NUL byte as at the end of the input, which the filter does not.
  const bool parsed = !tree.is_discarded() && (tree.is_object() || tree.is_array()) &&
                      text.find('\0') == std::string::npos;
  if (accepted != (parsed && depth(text) <= static_cast<size_t>(MAX_NESTING))) std::abort();
  if (!accepted) return 0;
  if (nlohmann::json::parse(out) != tree) std::abort();
  // Compact, and inside strings no "/" or control character that is not escaped.
  bool inString = false;
  for (size_t i = 0; i < out.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    if (!inString && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) std::abort();
    if (inString && (c == '/' || c < 0x20)) std::abort();
    if (c == '"') inString = !inString;
    if (inString && c == '\\') ++i;
  }
  return 0;
}
