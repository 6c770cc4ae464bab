#include "client/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "client/helper.h"
#include "platform/files.h"

namespace {

[[noreturn]] void cannotWrite(const std::string& path, int error) {
  throw std::runtime_error("Cannot write " + (path == "-" ? std::string("to standard output") : path) + ": " +
                           std::strerror(error));
}

// The descriptor of ours that a path names (/dev/stdout, /dev/fd/N, /proc/self/fd/N), if it is
// open for writing.
std::optional<int> descriptorNamed(const std::string& path) {
  int fd = -1;
  if (path == "-" || path == "/dev/stdout") {
    fd = STDOUT_FILENO;
  } else if (path == "/dev/stderr") {
    fd = STDERR_FILENO;
  } else {
    for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
      const size_t length = std::strlen(prefix);
      if (path.size() <= length || path.compare(0, length, prefix) != 0) continue;
      char* end = nullptr;
      errno = 0;
      const long number = std::strtol(path.c_str() + length, &end, 10);
      if (*end == '\0' && errno == 0 && number >= 0 && number <= INT_MAX && std::isdigit(path[length]))
        fd = static_cast<int>(number);
    }
  }
  if (fd < 0) return std::nullopt;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return std::nullopt;
  return fd;
}

// Where a path leads: one of our descriptors, or the path that is not a link at the end of its
// chain of links (which may not exist yet).
struct Destination {
  std::optional<int> fd;
  std::string path;
};

Destination follow(const std::string& path) {
  std::string target = path;
  for (int hops = 0; hops <= 40; ++hops) {
    if (auto fd = descriptorNamed(target)) return {fd, target};
    struct stat st;
    if (!files::usable(target) || ::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
      return {std::nullopt, target};
    char link[PATH_MAX];
    const ssize_t n = ::readlink(target.c_str(), link, sizeof link);
    if (n < 0 || static_cast<size_t>(n) >= sizeof link) cannotWrite(path, n < 0 ? errno : ENAMETOOLONG);
    const std::string next(link, static_cast<size_t>(n));
    const size_t slash = target.rfind('/');
    target = next[0] == '/' || slash == std::string::npos ? next : target.substr(0, slash + 1) + next;
  }
  cannotWrite(path, ELOOP);
}

void writeTo(int fd, const std::string& path, const std::string& bytes) {
  if (!files::writeAll(fd, bytes)) cannotWrite(path, errno);
}

// A new file beside `target`, moved over it once whole. A file left beside it by a tovi that was
// killed is ours and taken over.
void replace(const std::string& path, const std::string& target, const std::string& bytes,
             const struct stat* existing) {
  const auto fill = [&](const files::NewFile& tmp) {
    const RemovedOnStop pending(tmp.path);
    return files::writeAll(tmp.fd, bytes);
  };
  if (!files::placeBeside(target, fill, {.suffix = ".tovi-new", .flush = false, .keep = existing}))
    cannotWrite(path, errno);
}

}  // namespace

void save(const std::string& path, const std::string& bytes) {
  if (!files::usable(path) || path.empty()) cannotWrite(path, ENOENT);
  const Destination destination = follow(path);
  if (destination.fd) return writeTo(*destination.fd, path, bytes);
  struct stat st;
  if (::stat(destination.path.c_str(), &st) != 0) {
    if (errno != ENOENT) cannotWrite(path, errno);
    return replace(path, destination.path, bytes, nullptr);
  }
  if (S_ISDIR(st.st_mode)) cannotWrite(path, EISDIR);
  if (S_ISREG(st.st_mode)) return replace(path, destination.path, bytes, &st);
  // A terminal, device or FIFO: written in place, never created or truncated.
  const int fd = ::open(destination.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) cannotWrite(path, errno);
  const bool done = files::writeAll(fd, bytes);
  const int error = errno;
  ::close(fd);
  if (!done) cannotWrite(path, error);
}

void checkWritable(const std::string& path) {
  if (!files::usable(path) || path.empty()) cannotWrite(path, ENOENT);
  const Destination destination = follow(path);
  if (destination.fd) return;
  struct stat st;
  if (::stat(destination.path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) cannotWrite(path, EISDIR);
    if (!S_ISREG(st.st_mode)) return;  // written in place when the time comes
  } else if (errno != ENOENT) {
    cannotWrite(path, errno);
  }
  // A file is made, or replaced, through a new file beside it.
  const std::string folder = files::parent(destination.path);
  if (::access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) != 0) cannotWrite(path, errno);
}

std::string outputKey(const std::string& path) {
  if (!files::usable(path)) return path;
  const Destination destination = follow(path);
  struct stat st;
  if (destination.fd ? ::fstat(*destination.fd, &st) == 0 : ::stat(destination.path.c_str(), &st) == 0)
    return "file " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  std::error_code ec;
  const auto absolute = std::filesystem::weakly_canonical(std::filesystem::absolute(destination.path, ec), ec);
  return "path " + (ec ? destination.path : absolute.string());
}
