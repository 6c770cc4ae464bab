#include "platform/pasteboard.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"

namespace pasteboard {
namespace {

// '@' is never left as it stands in a type's file name, so names with one can never be a type's:
// the declaration, and a file on its way in (its final name followed by kTemporary).
constexpr std::string_view kDeclaration = "@declared";
constexpr std::string_view kTemporary = "@new";

using Fd = files::Descriptor;

bool privateFolder(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & 077) == 0;
}

// Opens the folder `name` inside `parent`, making it first when `create`. The checks run on the
// opened folder itself, so a link or folder swapped in after a check is never followed.
Fd openPrivate(int parent, const std::string& name, bool create) {
  if (create) ::mkdirat(parent, name.c_str(), 0700);  // it may well exist already
  Fd fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd || !privateFolder(fd.get())) return {};
  return fd;
}

struct Base {
  std::string path;    // a folder that may be shared (the runtime folder, /tmp)
  std::string folder;  // the store's own first folder inside it
};

Base base() {
  const uid_t uid = ::geteuid();
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) {
    struct stat st {};
    if (runtime[0] == '/' && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid)
      return {runtime, "ToviHelper"};
  }
  return {"/tmp", "ToviHelper-" + std::to_string(uid)};
}

// The store's folder, or an invalid descriptor when it is missing (and not `create`) or unfit.
Fd openStore(bool create) {
  const Base where = base();
  Fd shared(::open(where.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!shared) return {};
  Fd own = openPrivate(shared.get(), where.folder, create);
  if (!own) return {};
  return openPrivate(own.get(), "pasteboard", create);
}

// The regular file `name` in the store, open; invalid for anything else.
Fd openAt(int dir, std::string_view name, struct stat& st) {
  // O_NONBLOCK: a FIFO in a type's place must not hold the reader up; only a regular file is read.
  Fd fd(::openat(dir, std::string(name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return fd;
}

std::optional<std::string> readAt(int dir, std::string_view name, size_t limit = SIZE_MAX) {
  struct stat st {};
  const Fd fd = openAt(dir, name, st);
  if (!fd) return std::nullopt;
  return files::readAll(fd.get(), limit);
}

// Writes the bytes beside `name` under a name of their own, readable by the user alone, then
// renames them into place. The store's folder is reached through its open descriptor, never by
// its name again.
bool replaceAt(int dir, std::string_view name, std::string_view bytes) {
  const std::string path = "/proc/self/fd/" + std::to_string(dir) + "/" + std::string(name);
  const auto fill = [&](const files::NewFile& tmp) {
    return ::fchmod(tmp.fd, 0600) == 0 && files::writeAll(tmp.fd, bytes);
  };
  return files::placeBeside(path, fill, {.suffix = std::string(kTemporary), .flush = false});
}

std::vector<std::string> entries(int dir) {
  std::vector<std::string> names;
  DIR* listing = ::fdopendir(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
  if (!listing) return names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(listing);
  return names;
}

// The declared types' file names, in order.
std::vector<std::string> declaredNames(int dir) {
  std::vector<std::string> names;
  const auto list = readAt(dir, kDeclaration);
  if (!list) return names;
  size_t start = 0;
  for (size_t end; (end = list->find('\n', start)) != std::string::npos; start = end + 1)
    names.push_back(list->substr(start, end - start));
  return names;
}

bool isDeclared(int dir, const std::string& name) {
  const auto names = declaredNames(dir);
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool safe(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

std::string typeOf(std::string_view name) {
  std::string type;
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char byte = 0;
    const char* digits = name.data() + i + 1;
    if (name[i] == '%' && i + 2 < name.size() &&
        std::from_chars(digits, digits + 2, byte, 16).ptr == digits + 2) {
      type += static_cast<char>(byte);
      i += 2;
    } else {
      type += name[i];
    }
  }
  return type;
}

}  // namespace

std::string fileName(std::string_view type) {
  // "." and ".." name folders, not files: their dots are written out too.
  const bool dotsOnly = type == "." || type == "..";
  std::string name;
  for (const char c : type) {
    const auto byte = static_cast<unsigned char>(c);
    if (safe(byte) && !dotsOnly) {
      name += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      name += escaped;
    }
  }
  return name;
}

std::string location() {
  const Base where = base();
  return where.path + "/" + where.folder + "/pasteboard";
}

std::optional<std::string> lookup(std::string_view type, size_t limit) {
  const std::string name = fileName(type);
  const Fd dir = openStore(false);
  if (!dir || name.empty() || !isDeclared(dir.get(), name)) return std::nullopt;
  return readAt(dir.get(), name, limit);
}

std::optional<uint64_t> size(std::string_view type) {
  const std::string name = fileName(type);
  const Fd dir = openStore(false);
  struct stat st {};
  if (!dir || name.empty() || !isDeclared(dir.get(), name) || !openAt(dir.get(), name, st))
    return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

std::vector<std::string> declared() {
  std::vector<std::string> types;
  const Fd dir = openStore(false);
  if (!dir) return types;
  for (const auto& name : declaredNames(dir.get())) types.push_back(typeOf(name));
  return types;
}

bool clear() {
  const Fd dir = openStore(true);
  if (!dir) return false;
  // The declaration goes first, so that from then on every lookup finds nothing. Another
  // writer's half-made file is left alone: its rename would fail otherwise.
  bool cleared = ::unlinkat(dir.get(), std::string(kDeclaration).c_str(), 0) == 0 || errno == ENOENT;
  for (const auto& name : entries(dir.get()))
    if (name.find(kTemporary) == std::string::npos && ::unlinkat(dir.get(), name.c_str(), 0) != 0 &&
        errno != ENOENT)
      cleared = false;
  return cleared;
}

bool declare(const std::vector<std::string>& types) {
  const Fd dir = openStore(true);
  if (!dir) return false;
  std::vector<std::string> names;
  std::string list;
  for (const auto& type : types) {
    names.push_back(fileName(type));
    list += names.back() + '\n';
  }
  if (!replaceAt(dir.get(), kDeclaration, list)) return false;
  for (const auto& name : entries(dir.get()))
    if (name.find('@') == std::string::npos && std::find(names.begin(), names.end(), name) == names.end())
      ::unlinkat(dir.get(), name.c_str(), 0);
  return true;
}

bool set(std::string_view type, std::string_view bytes) {
  const std::string name = fileName(type);
  const Fd dir = openStore(true);
  if (!dir || name.empty() || !isDeclared(dir.get(), name)) return false;
  return replaceAt(dir.get(), name, bytes);
}

}  // namespace pasteboard
