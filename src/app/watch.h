// The watch loop: one long-lived helper serving every job file dropped into a folder.
#pragma once

#include <string>

// Claims each "*.tovijob" in `folder` by renaming it to "*.tovijob.taken" (never replacing),
// runs it, removes the claimed file, and returns once no job has completed for `idle` seconds
// of wall-clock time. An idle time of 0, below 0 or NaN returns at once; infinity never returns.
// Job files that belong to another user are never claimed.
void watch(const std::string& folder, double idle);
