#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <new>
#include <random>
#include <stdexcept>
#include <system_error>

namespace files {
namespace {

constexpr const char* LOCK = "lock";

// Removes everything inside the open folder `dir`, never following a link. System calls only,
// on the stack: safe in a signal handler.
void emptyFolder(int dir, int depth) {
  alignas(dirent64) char buffer[4096];
  // Entries removed while a folder is read may make the reading skip others: read again from the
  // start until a whole pass removes nothing.
  for (bool removed = true; removed;) {
    removed = false;
    if (::lseek(dir, 0, SEEK_SET) != 0) return;
    ssize_t n;
    while ((n = ::getdents64(dir, buffer, sizeof buffer)) > 0) {
      for (ssize_t at = 0; at < n;) {
        const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
        at += entry->d_reclen;
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        if (::unlinkat(dir, name, 0) == 0) {
          removed = true;
        } else if (errno == EISDIR && depth < 8) {
          const int inner = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
          if (inner < 0) continue;
          emptyFolder(inner, depth + 1);
          ::close(inner);
          if (::unlinkat(dir, name, AT_REMOVEDIR) == 0) removed = true;
        }
      }
    }
  }
}

}  // namespace

void Descriptor::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

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

std::optional<std::string> read(const std::string& path, size_t limit) {
  if (!usable(path) || path.empty()) return std::nullopt;
  // O_NONBLOCK keeps a FIFO from blocking the open; anything but a regular file is refused.
  const Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return std::nullopt;
  return readAll(fd.get(), limit);
}

std::optional<std::string> readAll(int fd, size_t limit) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > limit)
    return std::nullopt;
  std::string bytes;
  try {
    bytes.reserve(static_cast<size_t>(st.st_size));
    char buffer[1 << 16];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return std::nullopt;
      if (n == 0) break;
      if (bytes.size() + static_cast<size_t>(n) > limit) return std::nullopt;  // it grew meanwhile
      bytes.append(buffer, static_cast<size_t>(n));
    }
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  } catch (const std::length_error&) {
    return std::nullopt;
  }
  return bytes;
}

bool writeWhole(const std::string& path, const std::string& bytes) {
  if (!usable(path) || path.empty()) return false;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const bool written = writeAll(fd, bytes);
  return ::close(fd) == 0 && written;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::optional<NewFile> createBeside(const std::string& path, const std::string& suffix) {
  const std::string first = path + suffix;
  if (!usable(first) || path.empty()) {
    errno = EINVAL;
    return std::nullopt;
  }
  removeStale(first);
  static thread_local std::mt19937_64 random{std::random_device{}()};
  std::string name = first;
  for (int attempt = 0; attempt < 32; ++attempt) {
    // O_EXCL fails on anything already there, a link included, without following or opening it.
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      // The lock tells a later run that this file is in use; it ends with the last descriptor,
      // also when the process is killed.
      ::flock(fd, LOCK_EX | LOCK_NB);
      return NewFile{fd, name};
    }
    if (errno != EEXIST) return std::nullopt;
    char tail[18];
    std::snprintf(tail, sizeof tail, ".%016llx", static_cast<unsigned long long>(random()));
    name = first + tail;
  }
  errno = EEXIST;
  return std::nullopt;
}

bool placeBeside(const std::string& path, const std::function<bool(const NewFile&)>& fill,
                 const Placing& how) {
  const auto made = createBeside(path, how.suffix);
  if (!made) return false;
  const NewFile& tmp = *made;
  bool filled = false;
  errno = EIO;
  try {
    filled = fill(tmp);
  } catch (...) {
    ::close(tmp.fd);
    ::unlink(tmp.path.c_str());
    throw;
  }
  int cause = filled ? 0 : errno;
  filled = filled && names(tmp.path, tmp.fd);
  if (filled && how.keep) {
    // Owner first: a change of owner drops the set-ID bits that the mode then puts back. When
    // neither owner nor group may be given away the file stays ours, as a new one would.
    if (::fchown(tmp.fd, how.keep->st_uid, how.keep->st_gid) != 0)
      (void)::fchown(tmp.fd, static_cast<uid_t>(-1), how.keep->st_gid);
    ::fchmod(tmp.fd, how.keep->st_mode & 07777);
  }
  // The bytes reach the disk before the name does.
  if (filled && how.flush && !flush(tmp.fd)) {
    cause = errno;
    filled = false;
  }
  const bool closed = ::close(tmp.fd) == 0;
  if (filled && !closed) cause = errno;
  const bool placed = filled && closed && ::rename(tmp.path.c_str(), path.c_str()) == 0;
  if (filled && closed && !placed) cause = errno;
  if (!placed) ::unlink(tmp.path.c_str());
  // A folder that cannot be flushed still holds the new file for everyone who looks now.
  if (placed && how.flush) syncFolderOf(path);
  errno = cause ? cause : EIO;
  return placed;
}

bool placeNoReplace(int fd, const std::string& name, const std::string& path) {
  if (!usable(path) || path.empty()) {
    errno = EINVAL;
    return false;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  const int cause = errno;
  if (cause != EEXIST && names(name, fd)) return renameNoReplace(name, path);
  errno = cause;
  return false;
}

int openOwnFile(const std::string& path, int flags) {
  // The checks run on a handle that opens nothing (no FIFO waits, no device wakes), and the file
  // is then reopened through it, so no name is looked up twice.
  const Descriptor held(handle(path));
  struct stat st;
  if (!held || ::fstat(held.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      st.st_nlink != 1)
    return -1;
  return reopen(held.get(), flags);
}

bool removeStale(const std::string& path) {
  const Descriptor fd(openOwnFile(path, O_RDONLY));
  // Taking the lock proves that no live process holds the file; the name is removed only while
  // it is still the file that was checked.
  return fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && names(path, fd.get()) &&
         ::unlink(path.c_str()) == 0;
}

bool names(const std::string& path, int fd) {
  struct stat entry, open;
  return usable(path) && !path.empty() && ::lstat(path.c_str(), &entry) == 0 &&
         ::fstat(fd, &open) == 0 && entry.st_dev == open.st_dev && entry.st_ino == open.st_ino;
}

int handle(const std::string& path) {
  if (!usable(path) || path.empty()) {
    errno = EINVAL;
    return -1;
  }
  return ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
}

int reopen(int handle, int flags) {
  const std::string self = "/proc/self/fd/" + std::to_string(handle);
  return ::open(self.c_str(), flags | O_CLOEXEC);
}

bool replaceable(const std::string& path) {
  struct stat st;
  const int saved = errno;
  const bool other = usable(path) && !path.empty() && ::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
  errno = saved;
  return !other;
}

std::optional<std::string> attribute(int fd, const char* name) {
  char value[64];
  const ssize_t n = ::fgetxattr(fd, name, value, sizeof value);
  if (n < 0) return std::nullopt;
  return std::string(value, static_cast<size_t>(n));
}

bool setAttribute(int fd, const char* name, const std::string& value) {
  if (value.empty()) return ::fremovexattr(fd, name) == 0 || errno == ENODATA;
  return ::fsetxattr(fd, name, value.data(), value.size(), 0) == 0;
}

std::string temporaryFolder() {
  // As the C library's own temporary files: $TMPDIR when it is a folder, else /tmp.
  struct stat st;
  const char* variable = std::getenv("TMPDIR");
  if (variable && *variable && ::stat(variable, &st) == 0 && S_ISDIR(st.st_mode)) return variable;
  return "/tmp";
}

PrivateFolder::PrivateFolder(const std::string& prefix) {
  const std::string temporary = temporaryFolder();
  std::string pattern = temporary + "/" + prefix + "XXXXXX";
  if (!::mkdtemp(pattern.data()))
    throw std::system_error(errno, std::generic_category(), "Cannot create a folder in " + temporary);
  path_ = pattern;
  // Locked before it has its name, so that no sweep ever finds it unlocked.
  const std::string fresh = path_ + "/" + LOCK + ".new";
  lock_.reset(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock_ || ::flock(lock_.get(), LOCK_EX) != 0 || !renameNoReplace(fresh, path_ + "/" + LOCK)) {
    const int error = errno;
    removeFolder(path_.c_str());
    throw std::system_error(error, std::generic_category(), "Cannot create a folder in " + temporary);
  }
}

PrivateFolder::~PrivateFolder() {
  // The lock goes last: until the folder is gone, no sweep may take it for a dead run's.
  removeFolder(path_.c_str());
}

void sweepPrivateFolders(const std::string& prefix) {
  const std::string temporary = temporaryFolder();
  const Descriptor parent(::open(temporary.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent) return;
  for (const auto& name : list(temporary)) {
    if (!name.starts_with(prefix)) continue;
    const Descriptor dir(
        ::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!dir || ::fstat(dir.get(), &st) != 0 || st.st_uid != ::geteuid()) continue;
    const Descriptor lock(::openat(dir.get(), LOCK, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (lock && ::fstat(lock.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
        ::flock(lock.get(), LOCK_EX | LOCK_NB) == 0) {
      emptyFolder(dir.get(), 0);
      ::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR);
    }
  }
}

void removeFolder(const char* path) {
  const int dir = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir >= 0) {
    emptyFolder(dir, 0);
    ::close(dir);
  }
  ::rmdir(path);
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

bool flush(int fd) {
  int rc;
  while ((rc = ::fsync(fd)) != 0 && errno == EINTR) {
  }
  return rc == 0 || errno == EINVAL;
}

bool syncFolderOf(const std::string& path) {
  const std::string folder = parent(path);
  if (!usable(folder)) return false;
  const Descriptor fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd && flush(fd.get());
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
