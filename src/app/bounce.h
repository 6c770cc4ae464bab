// The focus bounce: a short-lived second instance of the helper that takes the focus and quits.
#pragma once

#include "platform/application.h"

// Starts a detached instance of the helper's own executable with the single argument "--bounce"
// and blocks until the start request was handed over and a further 0.4 s have passed. Never fails.
void bounceFocus();

// The delegate of the bounce instance: it terminates the application 0.15 s after launching.
struct BounceDelegate : ApplicationDelegate {
  void applicationDidFinishLaunching() override;
};
