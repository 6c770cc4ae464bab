#include "client/caption_files.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* WORD_JOINER = "\u2060";

std::string clock(long long ms, char separator) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld%c%03lld", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                separator, ms % 1000);
  return buffer;
}

// A line of SRT that shows as typed (see srt()).
std::string srtLine(const std::string& line) {
  std::string out;
  for (size_t at = 0; at < line.size(); ++at) {
    const char c = line[at];
    const char next = at + 1 < line.size() ? line[at + 1] : '\0';
    if (c == '{') {
      // Players that read ASS markup skip "{\...}" and "{Y:...}" blocks; the joiner keeps them
      // from seeing one after the escape.
      out += "\\{";
      if (next == '\\' || (next != '\0' && std::strchr("CcFfoPSsYy", next) && at + 2 < line.size() && line[at + 2] == ':'))
        out += WORD_JOINER;
    } else if (c == '<') {
      out += c;
      out += WORD_JOINER;
    } else if (c == '\\' && next != '\0' && std::strchr("Nnh}", next)) {
      out += c;
      out += WORD_JOINER;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string srt(const std::vector<Cue>& cues) {
  std::string out;
  for (size_t i = 0; i < cues.size(); ++i) {
    out += std::to_string(i + 1) + "\n" + clock(cues[i].startMs, ',') + " --> " + clock(cues[i].endMs, ',') + "\n";
    for (const auto& line : cues[i].lines) out += srtLine(line) + "\n";
    out += "\n";
  }
  return out;
}

std::string webVtt(const std::vector<Cue>& cues) {
  std::string out = "WEBVTT\n\n";
  for (const auto& cue : cues) {
    out += clock(cue.startMs, '.') + " --> " + clock(cue.endMs, '.') + "\n";
    for (const auto& line : cue.lines) {
      for (char c : line) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
      }
      out += "\n";
    }
    out += "\n";
  }
  return out;
}
