#include "app/bounce.h"

#include <chrono>
#include <thread>

void bounceFocus() {
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
}

void BounceDelegate::applicationDidFinishLaunching() {
  // A process without windows has no focus to take; the instance only lives out its moment.
  Application::shared().after(std::chrono::duration<double>(0.15),
                              [] { Application::shared().terminate(); });
}
