#include "app/bounce.h"

#include <chrono>
#include <exception>
#include <thread>

#include "platform/process.h"
#include "platform/resources.h"

void bounceFocus() {
  // Detached, so that the instance lives out its moment whatever becomes of us and a long watch
  // loop gathers no zombies. A start that fails is not reported: the pause follows in every case.
  process::Invocation bounce;
  bounce.executable = executablePath();
  bounce.arguments = {"--bounce"};
  bounce.detached = true;
  try {
    if (!bounce.executable.empty()) process::spawn(bounce);
  } catch (const std::exception&) {
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
}

void BounceDelegate::applicationDidFinishLaunching() {
  // A process without windows has no focus to take; the instance only lives out its moment.
  Application::shared().after(std::chrono::duration<double>(0.15),
                              [] { Application::shared().terminate(); });
}
