#include "client/model.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <regex>

#include "platform/files.h"

namespace {

constexpr uint32_t GGML_MAGIC = 0x67676d6c;  // "ggml", as a little-endian number

struct Shape {
  int32_t textLayers, textHeads, vocabulary, mels;
  const char* preset;
};

// English-only models have 51864 tokens, multilingual ones 51865, and large v3 (128 mel bins)
// adds a language: 51866.
constexpr Shape SHAPES[] = {
    {4, 6, 51864, 80, "tiny.en"},      {4, 6, 51865, 80, "tiny"},
    {6, 8, 51864, 80, "base.en"},      {6, 8, 51865, 80, "base"},
    {12, 12, 51864, 80, "small.en"},   {12, 12, 51865, 80, "small"},
    {24, 16, 51864, 80, "medium.en"},  {24, 16, 51865, 80, "medium"},
    {32, 20, 51865, 80, "large.v2"},   {32, 20, 51866, 128, "large.v3"},
    {4, 20, 51866, 128, "large.v3.turbo"},
};

}  // namespace

const std::vector<std::string>& dtwPresets() {
  static const std::vector<std::string> presets{"tiny",   "tiny.en",   "base",     "base.en",  "small",
                                                "small.en", "medium",  "medium.en", "large.v1", "large.v2",
                                                "large.v3", "large.v3.turbo"};
  return presets;
}

std::optional<std::string> dtwPresetOf(const std::string& path) {
  // Only a regular file is opened: a FIFO would block and a device might act on being opened.
  struct stat st;
  if (!files::usable(path) || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const files::Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return std::nullopt;
  // The magic, then n_vocab, n_audio_ctx, n_audio_state, n_audio_head, n_audio_layer, n_text_ctx,
  // n_text_state, n_text_head, n_text_layer, n_mels and ftype: little-endian 32-bit numbers.
  unsigned char header[48];
  size_t got = 0;
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode))
    while (got < sizeof header) {
      const ssize_t n = ::read(fd.get(), header + got, sizeof header - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  if (got < sizeof header) return std::nullopt;
  auto field = [&](size_t index) {
    const unsigned char* p = header + 4 * index;
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
  };
  if (static_cast<uint32_t>(field(0)) != GGML_MAGIC) return std::nullopt;
  const int32_t vocabulary = field(1), textHeads = field(8), textLayers = field(9), mels = field(10);
  for (const Shape& shape : SHAPES)
    if (shape.textLayers == textLayers && shape.textHeads == textHeads && shape.vocabulary == vocabulary &&
        shape.mels == mels)
      return shape.preset;
  return "";
}

std::string dtwPresetNamed(const std::string& path) {
  static const std::regex released(R"(ggml-(tiny|base|small|medium|large-v[123])(\.en|-turbo)?(-q\d_\d)?\.bin)");
  const size_t slash = path.rfind('/');
  std::smatch match;
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (!std::regex_match(name, match, released)) return "";
  std::string preset = match[1].str() + match[2].str();
  if (match[2] == "-turbo") preset = match[1] == "large-v3" ? "large.v3.turbo" : "";
  if (match[2] == ".en" && preset.compare(0, 5, "large") == 0) return "";
  for (auto& c : preset)
    if (c == '-') c = '.';
  return preset;
}
