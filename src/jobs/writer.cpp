#include "jobs/writer.h"

#include <cerrno>
#include <cmath>
#include <memory>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "jobs/utf8.h"
#include "platform/files.h"

namespace {

// True when the strict writer takes the value whole: every number finite (nlohmann would write a
// NaN or an infinity as null), every text (keys included) UTF-8. Known before a byte is written,
// so a file is never begun for nothing.
bool serialisable(const nlohmann::json& root) {
  std::vector<const nlohmann::json*> pending{&root};
  while (!pending.empty()) {
    const nlohmann::json* v = pending.back();
    pending.pop_back();
    if (v->is_number_float() && !std::isfinite(v->get<double>())) return false;
    if (v->is_string() && !isUtf8(v->get_ref<const std::string&>())) return false;
    if (v->is_object())
      for (const auto& [key, child] : v->items()) {
        if (!isUtf8(key)) return false;
        pending.push_back(&child);
      }
    else if (v->is_array())
      for (const auto& child : *v) pending.push_back(&child);
  }
  return true;
}

// Gathers the writer's output in pieces and hands each to the file once it is large enough.
class FileOutput : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  explicit FileOutput(int fd) : fd_(fd) {}
  void write_character(char c) override {
    piece_ += c;
    if (piece_.size() >= PIECE) flush();
  }
  void write_characters(const char* s, std::size_t length) override {
    piece_.append(s, length);
    if (piece_.size() >= PIECE) flush();
  }
  bool flush() {
    ok_ = ok_ && files::writeAll(fd_, piece_);
    piece_.clear();
    return ok_;
  }

 private:
  static constexpr size_t PIECE = size_t{1} << 16;
  int fd_;
  bool ok_ = true;
  std::string piece_;
};

// Compact JSON holds no "/" outside strings, so every one that reaches the text is inside a
// string and is written as "\/" on its way, with no second copy of a large text.
template <typename Out>
class SlashEscaping : public nlohmann::detail::output_adapter_protocol<char> {
 public:
  explicit SlashEscaping(Out& out) : out_(out) {}
  void write_character(char c) override {
    if (c == '/') out_.write_characters("\\/", 2);
    else out_.write_character(c);
  }
  void write_characters(const char* s, std::size_t length) override {
    const std::string_view text(s, length);
    for (size_t at = 0;;) {
      const size_t slash = text.find('/', at);
      const std::string_view run = text.substr(at, slash - at);
      out_.write_characters(run.data(), run.size());
      if (slash == std::string_view::npos) return;
      out_.write_characters("\\/", 2);
      at = slash + 1;
    }
  }

 private:
  Out& out_;
};

// The text's end of SlashEscaping.
struct TextOutput {
  void write_character(char c) { text += c; }
  void write_characters(const char* s, std::size_t length) { text.append(s, length); }
  std::string text;
};

}  // namespace

std::optional<std::string> serialise(const nlohmann::json& value) {
  if (!serialisable(value)) return std::nullopt;
  TextOutput text;
  nlohmann::detail::serializer<nlohmann::json> out(
      std::make_shared<SlashEscaping<TextOutput>>(text), ' ', nlohmann::json::error_handler_t::strict);
  out.dump(value, false, false, 0);
  return std::move(text.text);
}

std::function<bool(int fd)> jsonFill(nlohmann::json value) {
  if (!serialisable(value)) return {};
  return [value = std::move(value)](int fd) {
    FileOutput file(fd);
    nlohmann::detail::serializer<nlohmann::json> out(
        std::make_shared<SlashEscaping<FileOutput>>(file), ' ', nlohmann::json::error_handler_t::strict);
    out.dump(value, false, false, 0);
    return file.flush();
  };
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
  try {
    placed = files::placeBeside(path, [&](const files::NewFile& tmp) { return fill(tmp.fd); });
  } catch (...) {
    ::unlink(path.c_str());
    throw;
  }
  // A stale result must not pass for this job's answer; only a regular file is removed for it.
  if (!placed) {
    const int cause = errno;
    if (files::replaceable(path)) ::unlink(path.c_str());
    errno = cause;
  }
  return placed;
}
