// The open-document front-end: job files handed to the application as opened documents.
#pragma once

#include "platform/application.h"

// Runs each batch of opened documents on a background thread, one job after another, then
// terminates the application; with no document 5 s after launching, it terminates by itself.
struct AppDelegate : ApplicationDelegate {
  void applicationDidFinishLaunching() override;
  void applicationOpen(const std::vector<std::string>& paths) override;

  bool got = false;  // main thread only
};
