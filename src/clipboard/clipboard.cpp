#include "clipboard/clipboard.h"

#include <optional>
#include <string>
#include <string_view>

#include <utf8proc.h>

#include "jobs/failure.h"
#include "jobs/utf8.h"
#include "platform/files.h"
#include "platform/pasteboard.h"

namespace {

// The character before the final "C" is U+2318, the command-key sign (E2 8C 98 in UTF-8).
constexpr const char* kNoClip =
    "No Premiere clip on the clipboard: select one caption clip in Premiere and press \xE2\x8C\x98"
    "C";
constexpr const char* kNeeds = "clipboardWrite needs xmlPath and id";
constexpr const char* kRefused = "Couldn't put the captions on the clipboard";
constexpr const char* kTooLarge = "The clip on the clipboard is larger than 64 MB: copy fewer captions";

// Calls `each` with every code point of the UTF-8 text; false when the text is not valid UTF-8
// (overlong forms, surrogates and values beyond U+10FFFF included).
template <typename Each>
bool forEachCodePoint(std::string_view text, Each each) {
  for (size_t at = 0; at < text.size();) {
    const int32_t codePoint = nextCodePoint(text, at);
    if (codePoint < 0) return false;
    each(static_cast<uint32_t>(codePoint));
  }
  return true;
}

void putUnit(std::string& out, uint32_t unit) {
  out += static_cast<char>(unit & 0xFF);
  out += static_cast<char>(unit >> 8);
}

// UTF-16 code units in little-endian order, with neither byte-order mark nor terminator.
std::optional<std::string> utf16le(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  const bool valid = forEachCodePoint(text, [&](uint32_t codePoint) {
    if (codePoint < 0x10000) {
      putUnit(out, codePoint);
    } else {
      codePoint -= 0x10000;
      putUnit(out, 0xD800 + (codePoint >> 10));
      putUnit(out, 0xDC00 + (codePoint & 0x3FF));
    }
  });
  if (!valid) return std::nullopt;
  return out;
}

// The text of UTF-16 little-endian data; nothing for an odd number of bytes or an unpaired
// surrogate. A leading U+FEFF is kept as a character: the data carries no byte-order mark.
std::optional<std::string> fromUtf16le(std::string_view data) {
  if (data.size() % 2 != 0) return std::nullopt;
  std::string text;
  text.reserve(data.size());
  auto unitAt = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(data[i])) |
           static_cast<uint32_t>(static_cast<unsigned char>(data[i + 1])) << 8;
  };
  for (size_t i = 0; i < data.size(); i += 2) {
    uint32_t codePoint = unitAt(i);
    if (codePoint >= 0xDC00 && codePoint <= 0xDFFF) return std::nullopt;
    if (codePoint >= 0xD800 && codePoint <= 0xDBFF) {
      if (i + 2 >= data.size()) return std::nullopt;
      const uint32_t low = unitAt(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    utf8proc_uint8_t encoded[4];
    const utf8proc_ssize_t length =
        utf8proc_encode_char(static_cast<utf8proc_int32_t>(codePoint), encoded);
    text.append(reinterpret_cast<const char*>(encoded), static_cast<size_t>(length));
  }
  return text;
}

}  // namespace

nlohmann::json clipboardRead() {
  // The XML is looked up first: the id means nothing without a clip. A clip beyond the limit is
  // refused before it is read (its result could be six times its size: a NUL is written \u0000).
  if (pasteboard::size(PR_XML).value_or(0) > CLIP_LIMIT) throw Failure(kTooLarge);
  auto xml = pasteboard::lookup(PR_XML, CLIP_LIMIT);
  if (!xml || !isUtf8(*xml)) throw Failure(kNoClip);
  const auto idData = pasteboard::lookup(PR_ID, CLIP_LIMIT);
  auto id = idData ? fromUtf16le(*idData) : std::nullopt;
  nlohmann::json result = {{"ok", true}};
  result["xml"] = std::move(*xml);
  result["id"] = std::move(id).value_or("");
  return result;
}

void clipboardWrite(const Job& job) {
  // Both inputs are in hand before the pasteboard is touched, so a bad job leaves it as it was.
  if (!job.xmlPath) throw Failure(kNeeds);
  const auto xml = files::read(*job.xmlPath);
  if (!xml || !job.id) throw Failure(kNeeds);
  const auto id = utf16le(*job.id);
  if (!id) throw Failure(kNeeds);

  // Clearing and declaring answer nothing that matters here: a store that refuses them refuses
  // the bytes as well.
  pasteboard::clear();
  pasteboard::declare({std::string(PR_ID), std::string(PR_XML)});
  if (!pasteboard::set(PR_ID, *id)) throw Failure(kRefused);
  if (!pasteboard::set(PR_XML, *xml)) throw Failure(kRefused);
}
