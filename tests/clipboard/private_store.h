// Every test gets a pasteboard store of its own: XDG_RUNTIME_DIR points into a fresh folder, and
// the helper and the companion command started by the test inherit it.
#pragma once

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/support.h"

struct PrivateStore : ::testing::Test {
  PrivateStore() { ::setenv("XDG_RUNTIME_DIR", runtime.path.c_str(), 1); }

  std::string folder() const { return runtime.path + "/ToviHelper/pasteboard"; }

  test::TempDir runtime;
};
