#include "platform/resources.h"

#include <filesystem>
#include <system_error>

#include "platform/files.h"

std::string executablePath() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : path.string();
}

std::string resourcePath() {
  std::string exe = executablePath();
  if (exe.empty()) return "";
  return files::parent(files::parent(exe)) + "/lib/ToviHelper";
}
