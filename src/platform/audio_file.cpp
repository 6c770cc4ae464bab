#include "platform/audio_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include <sndfile.h>

#include "platform/files.h"

namespace audio_file {

// The descriptor is ours, not libsndfile's, so it is closed exactly once on every path.
struct Reader::Handle {
  files::Descriptor fd;
  SNDFILE* file = nullptr;

  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (file != nullptr) sf_close(file);
  }
};

std::optional<Reader> Reader::open(const std::string& path, std::string& error) {
  if (!files::usable(path)) {
    error = "The path holds a NUL character";
    return std::nullopt;
  }
  auto handle = std::make_unique<Handle>();
  // Opened by descriptor rather than by name: libsndfile would read standard input for "-" and
  // guess a headerless format from extensions such as ".au" or ".vox". O_NONBLOCK keeps a FIFO
  // from blocking the open; it is refused below like anything else that is not a regular file,
  // and regular files ignore the flag.
  handle->fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!handle->fd) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  struct stat st;
  if (::fstat(handle->fd.get(), &st) != 0) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "Not a regular file";
    return std::nullopt;
  }

  SF_INFO info{};
  handle->file = sf_open_fd(handle->fd.get(), SFM_READ, &info, SF_FALSE);
  if (handle->file == nullptr) {
    error = sf_strerror(nullptr);
    return std::nullopt;
  }
  // Both are libsndfile's defaults; set anyway because the levels depend on them: integer PCM
  // normalised to ±1.0, and float samples beyond full scale passed through unclipped.
  sf_command(handle->file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
  sf_command(handle->file, SFC_SET_CLIPPING, nullptr, SF_FALSE);

  Reader reader(path, std::move(handle));
  reader.channels_ = info.channels;
  reader.sampleRate_ = info.samplerate;
  if (info.frames >= 0 && info.frames != SF_COUNT_MAX) reader.frames_ = info.frames;
  reader.pcm16_ = (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
  return reader;
}

Reader::Reader(std::string path, std::unique_ptr<Handle> handle)
    : path_(std::move(path)), handle_(std::move(handle)) {}
Reader::Reader(Reader&&) noexcept = default;
Reader& Reader::operator=(Reader&&) noexcept = default;
Reader::~Reader() = default;

namespace {

sf_count_t readFrames(SNDFILE* file, float* out, sf_count_t count) {
  return sf_readf_float(file, out, count);
}
sf_count_t readFrames(SNDFILE* file, int16_t* out, sf_count_t count) {
  return sf_readf_short(file, out, count);
}

}  // namespace

template <typename Sample>
size_t Reader::readAll(Sample* out, size_t count) {
  size_t done = 0;
  // libsndfile returns a short count at the end of the audio or on an error; sf_error tells
  // which, since every read call starts by clearing the file's error.
  while (done < count) {
    const sf_count_t got = readFrames(handle_->file, out + done * static_cast<size_t>(channels_),
                                      static_cast<sf_count_t>(count - done));
    if (got < 0 || sf_error(handle_->file) != SF_ERR_NO_ERROR)
      throw std::runtime_error("Cannot read " + path_ + ": " + sf_strerror(handle_->file));
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

size_t Reader::read(float* out, size_t count) { return readAll(out, count); }
size_t Reader::read(int16_t* out, size_t count) { return readAll(out, count); }

}  // namespace audio_file
