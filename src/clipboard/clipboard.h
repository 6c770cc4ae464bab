// The editor's clipboard: its clip as XML text and an identifier, on the general pasteboard.
#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

#include "jobs/job.h"

// The editor's two pasteboard types, used byte for byte.
inline constexpr std::string_view PR_ID =
    "dyn.ah62d4rv4gq80g55rf3u0k55cqy1gk7xbszyw66dusm1w85p4f7v0855prfwu";
inline constexpr std::string_view PR_XML =
    "dyn.ah62d4rv4gq80g55rf3u0k55cqy1gk7xbszyw66dusm10c3mtqz6gg4dbr3x0np5ysmu0g45msvw04";

// {"ok": true, "xml": ..., "id": ...}; throws Failure when there is no clip.
nlohmann::json clipboardRead();

// Puts the job's XML file and id on the pasteboard; throws Failure.
void clipboardWrite(const Job& job);
