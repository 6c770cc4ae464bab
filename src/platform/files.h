// File-system operations on plain-text paths. A path that holds a NUL character is never handed
// to the C library (it would be cut short and name another file): it is treated as a path that
// cannot be read, written, listed or found.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace files {

// Owns an open descriptor and closes it when it goes.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~Descriptor() { reset(); }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// True when the path has no NUL byte and so can be given to the C library.
bool usable(const std::string& path);

// Something (file, folder, anything) exists at the path, following links.
bool exists(const std::string& path);

// A regular file that the current user may execute.
bool isExecutableFile(const std::string& path);

// The whole content of a regular file, or nothing when it cannot be read (missing, a folder, a
// FIFO, no permission, a NUL in the path, more than `limit` bytes).
std::optional<std::string> read(const std::string& path, size_t limit = SIZE_MAX);

// Creates a new file and writes `bytes`; false on any failure, including when anything (a file, a
// link, a FIFO) is already at the path: nothing that exists is ever followed, opened or truncated.
bool writeWhole(const std::string& path, const std::string& bytes);

// Writes all of `bytes` to the descriptor; false on any failure.
bool writeAll(int fd, std::string_view bytes);

// The whole content of an open regular file from where it stands, or nothing when it cannot be
// read or holds more than `limit` bytes (memory that cannot be had counts as too much).
std::optional<std::string> readAll(int fd, size_t limit = SIZE_MAX);

// A new, empty regular file made beside other people's files: `path` + `suffix` when that name is
// free, else that name followed by "." and random letters. Never follows a link and never opens
// what was already there (O_EXCL), but first removes a stale file of ours at `path` + `suffix`
// (removeStale). The new file is locked (flock) until its descriptor is closed, so that a later
// run can tell a file in use from one left by a writer that died. The descriptor is
// close-on-exec; the caller closes it.
struct NewFile {
  int fd = -1;
  std::string path;
};
std::optional<NewFile> createBeside(const std::string& path, const std::string& suffix);

// How placeBeside() makes and moves its new file.
struct Placing {
  std::string suffix = ".tmp";        // the new file's name beside the path (see createBeside)
  bool flush = true;                  // its bytes, then the folder's names, reach the disk
  const struct stat* keep = nullptr;  // the mode and, where the system allows, owner and group
};

// Replaces whatever regular file is at `path` atomically: what `fill` writes into a new file made
// beside it (createBeside) is moved over it, so that a reader sees the old bytes or the new, never
// a mix, and with `flush` a power cut leaves the old state or the whole new file. Only the file
// that was filled moves, not whatever took its name meanwhile. On false nothing reached `path`,
// the new file is gone and errno tells why (EIO when `fill` gave none). What `fill` throws is
// thrown on once the new file is gone.
bool placeBeside(const std::string& path, const std::function<bool(const NewFile&)>& fill,
                 const Placing& how = {});

// Gives the open file `fd`, named `name`, the name `path` too, never replacing what is there: the
// file that gets the name is the one open here, whatever has happened to `name` meanwhile (without
// /proc it moves by `name`, once that is seen to be still the file's). False on failure, errno
// EEXIST when something is already at `path`.
bool placeNoReplace(int fd, const std::string& name, const std::string& path);

// Opens an existing regular file that belongs to this user and has no other name, with `flags`
// (O_RDONLY, O_RDWR; close-on-exec is added); -1 for anything else (a link, FIFO, device or
// folder, another user's file, a second name of a file), which is never opened at all: a FIFO
// cannot block and a device is never woken.
int openOwnFile(const std::string& path, int flags);

// Removes what a dead run of ours left at `path`: a regular file of this user with one name
// that no live process holds locked (flock). Anything else (another user's file, a link, a file
// in use) is left alone. True when a file was removed.
bool removeStale(const std::string& path);

// True when the entry at `path` (not following a link) is the file open at `fd`.
bool names(const std::string& path, int fd);

// A handle on the entry at `path` that opens nothing (O_PATH, never following a link): a FIFO
// cannot block and a device is never woken while the handle is checked with fstat. -1 on failure.
int handle(const std::string& path);

// Opens the file that `handle` holds, with `flags` (close-on-exec is added), without looking its
// name up again; -1 on failure, errno telling why.
int reopen(int handle, int flags);

// False when something that is not a regular file is at `path` (not following a link): a device,
// FIFO, socket, folder or link, which a new file must never replace. Leaves errno as it was.
bool replaceable(const std::string& path);

// The value of the extended attribute `name` of the open file, or nothing.
std::optional<std::string> attribute(int fd, const char* name);

// Sets (or with an empty value removes) the extended attribute `name`; false on failure, for
// example where the file system keeps no attributes.
bool setAttribute(int fd, const char* name, const std::string& value);

// The folder for temporary files: $TMPDIR when it names a folder, else /tmp.
std::string temporaryFolder();

// A new folder of this user's own, "<temporaryFolder()>/<prefix>" and random letters, that
// nobody else can enter or plant anything in. A file "lock" inside stays locked (flock) while the
// object lives, so that a later run can tell a folder in use from one whose run died; the folder
// goes with everything in it when the object does. Throws std::system_error ("Cannot create a
// folder in <temporary folder>").
class PrivateFolder {
 public:
  explicit PrivateFolder(const std::string& prefix);
  ~PrivateFolder();
  PrivateFolder(const PrivateFolder&) = delete;
  PrivateFolder& operator=(const PrivateFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  Descriptor lock_;
};

// Removes the folders "<temporaryFolder()>/<prefix>*" that this user's runs left: folders of
// this user whose lock nobody holds. Another user's folder, a link, or a folder without its lock
// yet (a run that is making it) stays.
void sweepPrivateFolders(const std::string& prefix);

// Removes the folder at `path` with everything in it, never following a link (a link goes as a
// name). Async-signal-safe: system calls only, on the stack.
void removeFolder(const char* path);

// Renames `from` to `to` only when nothing exists at `to`; false on any failure (never replaces).
bool renameNoReplace(const std::string& from, const std::string& to);

// Flushes the open file's content to the disk; false on failure, errno telling why. A file system
// that cannot flush at all (EINVAL) counts as flushed.
bool flush(int fd);

// Flushes the folder that holds `path` (its names: a file just moved in), never opening anything
// but a folder; false on failure.
bool syncFolderOf(const std::string& path);

// Removes a file or an empty folder; false when nothing was removed.
bool remove(const std::string& path);

// Creates the folder and its missing parents; false on failure (including when it existed).
bool createDirectories(const std::string& path);

// The entry names directly in a folder (no "." or ".."); empty when it cannot be listed.
std::vector<std::string> list(const std::string& folder);

// The path with its last component removed, as Foundation's stringByDeletingLastPathComponent:
// "/a/b" -> "/a", "/a" -> "/", "b" -> "", "/" -> "/".
std::string parent(const std::string& path);

}  // namespace files
