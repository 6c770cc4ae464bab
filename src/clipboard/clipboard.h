// The editor's clipboard: its clip as XML text and an identifier, on the general pasteboard.
#pragma once

#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "jobs/job.h"

// The editor's two pasteboard types, used byte for byte.
inline constexpr std::string_view PR_ID =
    "dyn.ah62d4rv4gq80g55rf3u0k55cqy1gk7xbszyw66dusm1w85p4f7v0855prfwu";
inline constexpr std::string_view PR_XML =
    "dyn.ah62d4rv4gq80g55rf3u0k55cqy1gk7xbszyw66dusm10c3mtqz6gg4dbr3x0np5ysmu0g45msvw04";

// The largest clip (either type's bytes) that clipboardRead() takes: far beyond any caption clip,
// and low enough that its result fits in memory.
constexpr uint64_t CLIP_LIMIT = uint64_t{64} << 20;

// {"ok": true, "xml": ..., "id": ...}; throws Failure when there is no clip, or "The clip on the
// clipboard is larger than 64 MB: copy fewer captions" when its XML is beyond CLIP_LIMIT (an id
// beyond it is taken as none).
nlohmann::json clipboardRead();

// Puts the job's XML file and id on the pasteboard; throws Failure.
void clipboardWrite(const Job& job);
