// Fetching a missing speech model.
#pragma once

#include "jobs/job.h"

// Fetches "modelURL" with /usr/bin/curl into a partial file beside the model (model + ".part",
// creating the model's folder), writing {"progress": 0..99, "phase": "download"} to
// out + ".progress" about every 0.5 s when "modelSize" is above 0, checks the SHA-256 digest from
// /usr/bin/shasum against "modelSHA" when given, flushes the file to disk and puts it at "model",
// never replacing what is there; a regular file that another process put there meanwhile and
// that passes the same checks (not above "modelSize", the digest) is taken as the model. A
// download that finds another one of the same model running waits for its outcome instead. curl
// reads no configuration file and fetches http and https only, redirects included. Does nothing
// without "model", with an empty one, or without "modelURL". Throws Failure "The speech model
// download failed (no internet?). Try again." (curl failed, received nothing for 60 s, or the
// body outgrew a "modelSize" above 0) or "The speech model download was damaged. Try again.",
// Failure "Cannot write <model>.part: Invalid argument" for a model path holding a NUL, or a
// platform error for a partial file that cannot be made, a tool that cannot be started or a
// model that cannot be put in place. The partial file is gone on every way out.
void downloadModel(const Job& job);
