#include "platform/fonts.h"

#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include <sys/stat.h>
#include <unistd.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/files.h"

namespace fonts {
namespace {

template <auto destroy>
struct Destroy {
  template <class T>
  void operator()(T* p) const { destroy(p); }
};
template <class T, auto destroy>
using Owned = std::unique_ptr<T, Destroy<destroy>>;

using Config = Owned<FcConfig, FcConfigDestroy>;
using FontSet = Owned<FcFontSet, FcFontSetDestroy>;
using Pattern = Owned<FcPattern, FcPatternDestroy>;
using StrList = Owned<FcStrList, FcStrListDone>;
using Library = Owned<FT_LibraryRec_, FT_Done_FreeType>;
using FtFace = Owned<FT_FaceRec_, FT_Done_Face>;
using Blob = Owned<hb_blob_t, hb_blob_destroy>;
using HbFace = Owned<hb_face_t, hb_face_destroy>;

// Where a face lives: its file and fontconfig's face index (named instance in the upper bits).
using FaceRef = std::pair<std::string, int>;

FaceRef faceRef(FcPattern* p) {
  FcChar8* file = nullptr;
  int index = 0;
  FcPatternGetString(p, FC_FILE, 0, &file);
  FcPatternGetInteger(p, FC_INDEX, 0, &index);
  return {file ? reinterpret_cast<const char*>(file) : "", index};
}

// HarfBuzz reads the OpenType tables, so only sfnt faces (TrueType and CFF flavours, WOFF
// included) can be measured; bitmap and Type 1 faces count as not there.
bool measurable(FcPattern* p) {
  FcChar8* format = nullptr;
  if (FcPatternGetString(p, FC_FONTFORMAT, 0, &format) != FcResultMatch) return true;
  const std::string_view f = reinterpret_cast<const char*>(format);
  return f == "TrueType" || f == "CFF";
}

bool hasName(FcPattern* p, const char* object, const std::string& name) {
  FcChar8* value = nullptr;
  for (int i = 0; FcPatternGetString(p, object, i, &value) == FcResultMatch; ++i) {
    if (std::string_view(reinterpret_cast<const char*>(value)) == name) return true;
  }
  return false;
}

// A numeric style value; a variable face's range counts as the point in it nearest `wanted`.
double styleValue(FcPattern* p, const char* object, double wanted) {
  FcValue v;
  if (FcPatternGet(p, object, 0, &v) != FcResultMatch) return wanted;
  double begin = 0, end = 0;
  switch (v.type) {
    case FcTypeInteger: return v.u.i;
    case FcTypeDouble: return v.u.d;
    case FcTypeRange:
      if (FcRangeGetDouble(v.u.r, &begin, &end) && begin <= end) return std::clamp(wanted, begin, end);
      return wanted;
    default: return wanted;
  }
}

// Orders the faces that answer to one name: upright before slanted, then nearest to normal width
// and regular weight, so that a family gives its regular face; then by file for a stable choice.
auto preference(FcPattern* p) {
  const double slant = styleValue(p, FC_SLANT, FC_SLANT_ROMAN);
  const double width = styleValue(p, FC_WIDTH, FC_WIDTH_NORMAL);
  const double weight = styleValue(p, FC_WEIGHT, FC_WEIGHT_REGULAR);
  return std::tuple(slant != FC_SLANT_ROMAN, std::abs(width - FC_WIDTH_NORMAL),
                    std::abs(weight - FC_WEIGHT_REGULAR), faceRef(p));
}

FcPattern* findFace(const FcFontSet& all, const std::string& name) {
  for (const char* object : {FC_POSTSCRIPT_NAME, FC_FULLNAME, FC_FAMILY}) {
    FcPattern* best = nullptr;
    for (int i = 0; i < all.nfont; ++i) {
      FcPattern* p = all.fonts[i];
      if (!measurable(p) || !hasName(p, object, name)) continue;
      if (!best || preference(p) < preference(best)) best = p;
    }
    if (best) return best;
  }
  return nullptr;
}

Pattern newPattern() {
  Pattern p(FcPatternCreate());
  if (!p) throw std::runtime_error("Cannot make a fontconfig pattern: out of memory");
  return p;
}

// Reads exactly `length` bytes at `offset`, or fewer at the end of the file or on an error.
size_t readAt(int fd, char* into, size_t length, uint64_t offset) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::pread(fd, into + done, length - done, off_t(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += size_t(n);
  }
  return done;
}

uint32_t bigEndian(const unsigned char* p, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value = value << 8 | p[i];
  return value;
}

// An open font file whose tables are read when HarfBuzz first asks for each (a large face costs
// only what shaping uses), into memory of their own: a file that is rewritten or cut short later
// gives HarfBuzz at worst a table that it checks like any other, never a fault.
struct TableFile {
  files::Descriptor fd;
  uint64_t size = 0;
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> tables;  // tag: offset and length

  // Nothing unless `fd` is an sfnt file or collection that holds face `index`.
  static std::unique_ptr<TableFile> open(int fd, unsigned index) {
    auto file = std::make_unique<TableFile>();
    file->fd.reset(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) return nullptr;
    file->size = uint64_t(st.st_size);
    unsigned char head[12];
    if (readAt(fd, reinterpret_cast<char*>(head), 12, 0) != 12) return nullptr;
    uint64_t at = 0;
    if (bigEndian(head, 4) == HB_TAG('t', 't', 'c', 'f')) {
      unsigned char offset[4];
      if (index >= bigEndian(head + 8, 4) || readAt(fd, reinterpret_cast<char*>(offset), 4, 12 + 4 * uint64_t(index)) != 4 ||
          readAt(fd, reinterpret_cast<char*>(head), 12, at = bigEndian(offset, 4)) != 12)
        return nullptr;
    } else if (index != 0) {
      return nullptr;
    }
    const unsigned count = bigEndian(head + 4, 2);
    std::string records(16 * size_t(count), '\0');
    if (readAt(fd, records.data(), records.size(), at + 12) != records.size()) return nullptr;
    for (unsigned i = 0; i < count; ++i) {
      const auto* r = reinterpret_cast<const unsigned char*>(records.data()) + 16 * i;
      file->tables.try_emplace(bigEndian(r, 4), bigEndian(r + 8, 4), bigEndian(r + 12, 4));
    }
    return file;
  }

  static hb_blob_t* table(hb_face_t*, hb_tag_t tag, void* self) {
    const auto& file = *static_cast<const TableFile*>(self);
    const auto found = file.tables.find(tag);
    if (found == file.tables.end()) return nullptr;
    const auto [offset, claimed] = found->second;
    if (offset >= file.size) return nullptr;
    const size_t length = std::min<uint64_t>(claimed, file.size - offset);
    char* bytes = static_cast<char*>(std::malloc(std::max<size_t>(length, 1)));
    if (!bytes) return nullptr;
    const size_t read = readAt(file.fd.get(), bytes, length, offset);
    return hb_blob_create(bytes, unsigned(read), HB_MEMORY_MODE_WRITABLE, bytes, std::free);
  }
};

// A WOFF file holds its tables compressed: FreeType unpacks the whole face into memory.
HbFace unwrapped(int fd, unsigned index) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return nullptr;
  std::string bytes(size_t(st.st_size), '\0');
  if (readAt(fd, bytes.data(), bytes.size(), 0) != bytes.size()) return nullptr;
  FT_Library library = nullptr;
  if (FT_Init_FreeType(&library)) return nullptr;
  Library owned(library);
  FT_Face ft = nullptr;
  if (FT_New_Memory_Face(library, reinterpret_cast<const FT_Byte*>(bytes.data()), FT_Long(bytes.size()), FT_Long(index), &ft))
    return nullptr;
  FtFace face(ft);
  FT_ULong length = 0;
  if (FT_Load_Sfnt_Table(ft, 0, 0, nullptr, &length) || length == 0) return nullptr;
  auto* sfnt = new std::string(length, '\0');
  if (FT_Load_Sfnt_Table(ft, 0, 0, reinterpret_cast<FT_Byte*>(sfnt->data()), &length)) {
    delete sfnt;
    return nullptr;
  }
  Blob blob(hb_blob_create(sfnt->data(), unsigned(sfnt->size()), HB_MEMORY_MODE_READONLY, sfnt,
                           [](void* p) { delete static_cast<std::string*>(p); }));
  return HbFace(hb_face_create(blob.get(), 0));
}

// Nothing when the file cannot be read or holds no face at that index.
std::unique_ptr<Face> openFace(const FaceRef& ref) {
  files::Descriptor fd(::open(ref.first.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st;
  char magic[4] = {};
  if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || readAt(fd.get(), magic, 4, 0) != 4)
    return nullptr;
  const unsigned index = unsigned(ref.second) & 0xFFFF;
  HbFace face;
  if (std::memcmp(magic, "wOFF", 4) == 0 || std::memcmp(magic, "wOF2", 4) == 0) {
    face = unwrapped(fd.get(), index);
  } else if (auto file = TableFile::open(fd.release(), index)) {
    face.reset(hb_face_create_for_tables(TableFile::table, file.release(),
                                         [](void* p) { delete static_cast<TableFile*>(p); }));
  }
  if (!face || hb_face_get_glyph_count(face.get()) == 0) return nullptr;
  auto opened = std::make_unique<Face>();
  opened->font = hb_font_create(face.get());
  // At one unit per font unit HarfBuzz's advances are the font's own unhinted design values:
  // nothing is rounded before a sum is scaled to the point size.
  const unsigned upem = hb_face_get_upem(face.get());
  opened->upem = upem ? upem : 1000;
  hb_font_set_scale(opened->font, int(opened->upem), int(opened->upem));
  if (const unsigned instance = unsigned(ref.second) >> 16) hb_font_set_var_named_instance(opened->font, instance - 1);
  hb_font_make_immutable(opened->font);
  return opened;
}

// What a file or folder looked like, to tell later whether it changed (or came or went).
struct Stamp {
  std::string path;
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  timespec modified{}, changed{};

  static Stamp of(std::string path) {
    Stamp s{std::move(path)};
    struct stat st;
    if (::stat(s.path.c_str(), &st) == 0) {
      s.exists = true;
      s.device = st.st_dev;
      s.inode = st.st_ino;
      s.modified = st.st_mtim;
      s.changed = st.st_ctim;
    }
    return s;
  }
  bool operator==(const Stamp& o) const {
    const auto same = [](timespec a, timespec b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; };
    return exists == o.exists && device == o.device && inode == o.inode && same(modified, o.modified) &&
           same(changed, o.changed);
  }
};

double seconds(timespec t) { return double(t.tv_sec) + double(t.tv_nsec) * 1e-9; }

}  // namespace

Face::~Face() { hb_font_destroy(font); }

bool Face::has(char32_t c) const {
  hb_codepoint_t glyph;
  return hb_font_get_nominal_glyph(font, c, &glyph);
}

struct Catalog::State {
  std::mutex mutex;
  Config config;
  FcFontSet* all = nullptr;  // the configuration's own, or null when no font is installed
  // The configuration files and folders and every font folder (those not there yet included):
  // fonts are installed or removed by changing a font folder. Changes within the same clock tick
  // as the load cannot be told apart, so a catalog whose stamps are that recent is loaded again
  // at the next call.
  std::vector<Stamp> stamps;
  bool settled = false;

  std::map<FaceRef, std::unique_ptr<Face>> faces;  // null where the file could not be opened
  std::map<const Face*, Pattern> origin;            // what each open face was found as
  std::unordered_map<std::string, const Face*> byName;
  std::map<const Face*, FontSet> fallbackOrder;
  std::map<std::pair<const Face*, std::u32string>, const Face*> fallbackFor;
  std::optional<const Face*> emoji;

  bool unchanged() const;
  const Face* open(FcPattern* found);
};

bool Catalog::State::unchanged() const {
  if (!settled) return false;
  return std::all_of(stamps.begin(), stamps.end(), [](const Stamp& s) { return Stamp::of(s.path) == s; });
}

const Face* Catalog::State::open(FcPattern* found) {
  const FaceRef ref = faceRef(found);
  auto [slot, fresh] = faces.try_emplace(ref);
  if (fresh) {
    slot->second = openFace(ref);
    if (slot->second) {
      FcPatternReference(found);
      origin.emplace(slot->second.get(), Pattern(found));
    }
  }
  return slot->second.get();
}

Catalog::Catalog(std::unique_ptr<State> state) : state_(std::move(state)) {}
Catalog::~Catalog() = default;

std::shared_ptr<Catalog> Catalog::current() {
  static std::mutex mutex;
  static std::shared_ptr<Catalog> catalog;
  std::lock_guard lock(mutex);
  if (catalog && catalog->state_->unchanged()) return catalog;

  timespec start{};
  clock_gettime(CLOCK_REALTIME, &start);
  auto state = std::make_unique<State>();
  state->config.reset(FcInitLoadConfigAndFonts());
  if (!state->config) throw std::runtime_error("Cannot load the fontconfig configuration");
  // The configuration's own set of every installed face: read in place, nothing copied.
  state->all = FcConfigGetFonts(state->config.get(), FcSetSystem);

  FcConfig* config = state->config.get();
  double newest = 0;
  for (auto* get : {FcConfigGetConfigFiles, FcConfigGetConfigDirs, FcConfigGetFontDirs}) {
    StrList list(get(config));
    while (FcChar8* path = list ? FcStrListNext(list.get()) : nullptr) {
      Stamp s = Stamp::of(reinterpret_cast<const char*>(path));
      newest = std::max({newest, seconds(s.modified), seconds(s.changed)});
      state->stamps.push_back(std::move(s));
    }
  }
  // A second of margin covers the file system's coarser clock.
  state->settled = newest < seconds(start) - 1;
  catalog.reset(new Catalog(std::move(state)));
  return catalog;
}

const Face* Catalog::named(const std::string& name) {
  State& s = *state_;
  std::lock_guard lock(s.mutex);
  if (auto known = s.byName.find(name); known != s.byName.end()) return known->second;
  FcPattern* found = s.all ? findFace(*s.all, name) : nullptr;
  if (!found) return nullptr;  // not remembered: names that are not there are countless
  const Face* face = s.open(found);
  if (!face) throw std::runtime_error("Cannot load the font " + faceRef(found).first);
  s.byName.emplace(name, face);
  return face;
}

const Face* Catalog::fallback(const Face& face, std::u32string_view chars) {
  State& s = *state_;
  std::lock_guard lock(s.mutex);
  if (s.fallbackFor.size() >= 4096) s.fallbackFor.clear();  // clusters are countless too
  const auto [known, fresh] = s.fallbackFor.try_emplace({&face, std::u32string(chars)}, nullptr);
  if (!fresh) return known->second;
  auto [order, unsorted] = s.fallbackOrder.try_emplace(&face);
  if (unsorted) {
    // Fallback faces are ranked for this face's family and style.
    Pattern request = newPattern();
    if (auto from = s.origin.find(&face); from != s.origin.end()) {
      for (const char* object : {FC_FAMILY, FC_WEIGHT, FC_SLANT, FC_WIDTH}) {
        FcValue v;
        if (FcPatternGet(from->second.get(), object, 0, &v) == FcResultMatch)
          FcPatternAdd(request.get(), object, v, FcTrue);
      }
    }
    FcConfigSubstitute(s.config.get(), request.get(), FcMatchPattern);
    FcDefaultSubstitute(request.get());
    FcResult result;
    order->second.reset(FcFontSort(s.config.get(), request.get(), FcTrue, nullptr, &result));
  }
  if (!order->second) return nullptr;
  for (int i = 0; i < order->second->nfont; ++i) {
    FcPattern* p = order->second->fonts[i];
    FcCharSet* coverage = nullptr;
    if (FcPatternGetCharSet(p, FC_CHARSET, 0, &coverage) != FcResultMatch || !measurable(p) ||
        !std::all_of(chars.begin(), chars.end(), [&](char32_t c) { return FcCharSetHasChar(coverage, c); })) {
      continue;
    }
    const Face* candidate = s.open(p);
    if (candidate && candidate != &face &&
        std::all_of(chars.begin(), chars.end(), [&](char32_t c) { return candidate->has(c); })) {
      return known->second = candidate;
    }
  }
  return nullptr;
}

const Face* Catalog::emoji() {
  State& s = *state_;
  std::lock_guard lock(s.mutex);
  if (s.emoji) return *s.emoji;
  s.emoji = nullptr;
  Pattern request = newPattern();
  FcPatternAddString(request.get(), FC_FAMILY, reinterpret_cast<const FcChar8*>("emoji"));
  FcPatternAddBool(request.get(), FC_COLOR, FcTrue);
  FcConfigSubstitute(s.config.get(), request.get(), FcMatchPattern);
  FcDefaultSubstitute(request.get());
  FcResult result;
  Pattern found(FcFontMatch(s.config.get(), request.get(), &result));
  FcBool color = FcFalse;
  if (found && FcPatternGetBool(found.get(), FC_COLOR, 0, &color) == FcResultMatch && color &&
      measurable(found.get())) {
    s.emoji = s.open(found.get());
  }
  return *s.emoji;
}

}  // namespace fonts
