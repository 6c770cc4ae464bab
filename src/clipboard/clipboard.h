// The editor's clipboard: its clip as XML text and an identifier, on the general pasteboard.
#pragma once

#include <nlohmann/json.hpp>

#include "jobs/job.h"

// {"ok": true, "xml": ..., "id": ...}; throws Failure when there is no clip.
nlohmann::json clipboardRead();

// Puts the job's XML file and id on the pasteboard; throws Failure.
void clipboardWrite(const Job& job);
