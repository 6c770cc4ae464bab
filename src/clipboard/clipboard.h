// The editor's clipboard: its clip as XML text and an identifier, on the general pasteboard.
#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

#include "jobs/job.h"

// The largest clip (either type's bytes) that clipboardRead() takes: far beyond any caption clip,
// and low enough that its result fits in memory.
constexpr uint64_t CLIP_LIMIT = uint64_t{64} << 20;

// {"ok": true, "xml": ..., "id": ...}; throws Failure when there is no clip, or "The clip on the
// clipboard is larger than 64 MB: copy fewer captions" when its XML is beyond CLIP_LIMIT (an id
// beyond it is taken as none).
nlohmann::json clipboardRead();

// Puts the job's XML file and id on the pasteboard; throws Failure.
void clipboardWrite(const Job& job);
