#include "jobs/writer.h"

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
  // A path with a NUL in it names another file to the C library: nothing is touched at all.
  if (!files::usable(path) || path.empty()) return false;
  bool placed = false;
  if (auto tmp = files::createBeside(path, ".tmp")) {
    bool filled = false;
    try {
      filled = fill(tmp->fd);
    } catch (...) {
      ::close(tmp->fd);
      ::unlink(tmp->path.c_str());
      ::unlink(path.c_str());
      throw;
    }
    // Only the file just written may move into place, not whatever took its name meanwhile.
    filled = filled && files::names(tmp->path, tmp->fd);
    const bool closed = ::close(tmp->fd) == 0;
    placed = filled && closed && ::rename(tmp->path.c_str(), path.c_str()) == 0;
    if (!placed) ::unlink(tmp->path.c_str());
  }
  // No folder is ever removed in place of a result.
  if (!placed) ::unlink(path.c_str());
  return placed;
}
