#include "app/delegates.h"

#include "app/runner.h"

void AppDelegate::applicationOpen(const std::vector<std::string>& paths) {
  got = true;
  Application::shared().background([paths] {
    for (const auto& path : paths) run(path);
    Application::shared().async([] { Application::shared().terminate(); });
  });
}

void AppDelegate::applicationDidFinishLaunching() {
  Application::shared().after(std::chrono::duration<double>(5.0), [this] {
    if (!got) Application::shared().terminate();
  });
}
