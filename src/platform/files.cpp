#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/errors.h"

namespace files {

bool usable(const std::string& path) {
  return path.find('\0') == std::string::npos;
}

bool exists(const std::string& path) {
  struct stat st;
  return usable(path) && !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool isExecutableFile(const std::string& path) {
  struct stat st;
  return usable(path) && !path.empty() && ::stat(path.c_str(), &st) == 0 &&
         S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> read(const std::string& path) {
  if (!usable(path) || path.empty()) return std::nullopt;
  // O_NONBLOCK keeps a FIFO from blocking the open; anything but a regular file is refused.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string bytes;
  bytes.reserve(static_cast<size_t>(st.st_size));
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return bytes;
}

std::optional<int64_t> size(const std::string& path) {
  struct stat st;
  if (!usable(path) || path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<int64_t>(st.st_size);
}

bool writeWhole(const std::string& path, const std::string& bytes) {
  if (!usable(path) || path.empty()) return false;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return ::close(fd) == 0;
}

bool renameNoReplace(const std::string& from, const std::string& to) {
  if (!usable(from) || !usable(to)) return false;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE: link() fails when the target exists, which keeps the
  // claim exclusive; the source name is dropped only once the new name holds the file.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

void move(const std::string& from, const std::string& to) {
  int err = EINVAL;
  if (usable(from) && usable(to)) {
    if (::rename(from.c_str(), to.c_str()) == 0) return;
    err = errno;
  }
  throw systemError("Cannot move " + from + " to " + to, err);
}

bool sync(const std::string& path) {
  if (!usable(path) || path.empty()) return false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  int rc;
  while ((rc = ::fsync(fd)) != 0 && errno == EINTR) {
  }
  ::close(fd);
  return rc == 0;
}

bool remove(const std::string& path) {
  return usable(path) && !path.empty() && ::remove(path.c_str()) == 0;
}

bool createDirectories(const std::string& path) {
  if (!usable(path) || path.empty()) return false;
  std::error_code ec;
  return std::filesystem::create_directories(path, ec);
}

std::vector<std::string> list(const std::string& folder) {
  std::vector<std::string> names;
  if (!usable(folder) || folder.empty()) return names;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(dir);
  return names;
}

std::string parent(const std::string& path) {
  if (path.empty()) return "";
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;  // trailing separators do not count
  size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return "";
  while (slash > 0 && path[slash - 1] == '/') --slash;
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace files
