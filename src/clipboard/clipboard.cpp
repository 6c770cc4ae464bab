#include "clipboard/clipboard.h"

#include "jobs/failure.h"

nlohmann::json clipboardRead() {
  throw Failure("The clipboard (clipboardRead) is not available in this build of ToviHelper");
}

void clipboardWrite(const Job&) {
  throw Failure("The clipboard (clipboardWrite) is not available in this build of ToviHelper");
}
