#include "jobs/writer.h"

#include <cerrno>
#include <cmath>
#include <unistd.h>
#include <vector>

#include "platform/files.h"

namespace {

// nlohmann writes a NaN or an infinity as null; such a value must not reach a file at all.
bool allFinite(const nlohmann::json& root) {
  std::vector<const nlohmann::json*> pending{&root};
  while (!pending.empty()) {
    const nlohmann::json* v = pending.back();
    pending.pop_back();
    if (v->is_number_float() && !std::isfinite(v->get<double>())) return false;
    if (v->is_structured())
      for (const auto& child : *v) pending.push_back(&child);
  }
  return true;
}

}  // namespace

std::optional<std::string> serialise(const nlohmann::json& value) {
  if (!allFinite(value)) return std::nullopt;
  std::string text;
  try {
    // Strict UTF-8: a string that is not UTF-8 throws rather than being written damaged.
    text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
  // Outside strings compact JSON holds no "/", so every one of them is inside a string. The text
  // between two of them is copied whole.
  if (text.find('/') == std::string::npos) return text;
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t at = 0;;) {
    const size_t slash = text.find('/', at);
    out.append(text, at, slash - at);
    if (slash == std::string::npos) return out;
    out += "\\/";
    at = slash + 1;
  }
}

void write(const nlohmann::json& value, const std::string& path) {
  if (!files::usable(path)) return;
  if (auto bytes = serialise(value)) writeBytes(*bytes, path);
}

bool writeBytes(const std::string& bytes, const std::string& path) {
  return writeStream(path, [&](int fd) { return files::writeAll(fd, bytes); });
}

bool writeStream(const std::string& path, const std::function<bool(int fd)>& fill) {
  // A path with a NUL in it names another file to the C library: nothing is touched at all. Nor
  // is anything at the path that is not a regular file (a device, a FIFO, a link, a folder).
  if (!files::usable(path) || path.empty()) {
    errno = EINVAL;
    return false;
  }
  if (!files::replaceable(path)) {
    errno = EEXIST;
    return false;
  }
  bool placed = false;
  int cause = 0;
  if (auto tmp = files::createBeside(path, ".tmp")) {
    bool filled = false;
    errno = EIO;
    try {
      filled = fill(tmp->fd);
    } catch (...) {
    }
    // Only the file just written may move into place, not whatever took its name meanwhile. Its
    // bytes reach the disk before its name does, so that a power cut leaves either the old state
    // or the whole new file, never an empty one under the new name.
    if (!filled) cause = errno;
    filled = filled && files::names(tmp->path, tmp->fd);
    if (filled && !files::flush(tmp->fd)) {
      cause = errno;
      filled = false;
    }
    const bool closed = ::close(tmp->fd) == 0;
    if (filled && !closed) cause = errno;
    placed = filled && closed && ::rename(tmp->path.c_str(), path.c_str()) == 0;
    if (filled && closed && !placed) cause = errno;
    if (!placed) ::unlink(tmp->path.c_str());
  } else {
    cause = errno;
  }
  // The new name is on the disk too before anyone is told the job is answered. A folder that
  // cannot be flushed still holds the answer for everyone who looks now.
  if (placed) files::syncFolderOf(path);
  // A stale result must not pass for this job's answer; only a regular file is removed for it.
  if (!placed && files::replaceable(path)) ::unlink(path.c_str());
  errno = cause ? cause : EIO;
  return placed;
}
