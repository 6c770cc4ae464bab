#include "jobs/job.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

namespace {

using json = nlohmann::json;

enum class Field {
  none, out, kind, wav, model, whisper, lang, prompt, dtw, modelURL, modelSHA, modelSize, font,
  size, strings, xmlPath, id
};

Field fieldNamed(const std::string& key) {
  static const std::pair<const char*, Field> names[] = {
      {"out", Field::out},         {"kind", Field::kind},         {"wav", Field::wav},
      {"model", Field::model},     {"whisper", Field::whisper},   {"lang", Field::lang},
      {"prompt", Field::prompt},   {"dtw", Field::dtw},           {"modelURL", Field::modelURL},
      {"modelSHA", Field::modelSHA}, {"modelSize", Field::modelSize}, {"font", Field::font},
      {"size", Field::size},       {"strings", Field::strings},   {"xmlPath", Field::xmlPath},
      {"id", Field::id}};
  for (const auto& [name, field] : names)
    if (key == name) return field;
  return Field::none;
}

std::optional<std::string>* stringField(Job& job, Field field) {
  switch (field) {
    case Field::kind: return &job.kind;
    case Field::wav: return &job.wav;
    case Field::model: return &job.model;
    case Field::whisper: return &job.whisper;
    case Field::lang: return &job.lang;
    case Field::prompt: return &job.prompt;
    case Field::dtw: return &job.dtw;
    case Field::modelURL: return &job.modelURL;
    case Field::modelSHA: return &job.modelSHA;
    case Field::font: return &job.font;
    case Field::xmlPath: return &job.xmlPath;
    case Field::id: return &job.id;
    default: return nullptr;
  }
}

// Streams the document and keeps only the known keys of the top-level object, so that values
// under unknown keys (however large or deeply nested) are checked for syntax but never stored.
class Decoder : public nlohmann::json_sax<json> {
 public:
  Job job;
  bool sawOut = false;

  bool null() override {
    if (depth_ == 0 || inStrings()) return false;
    if (!atField()) return true;
    if (field_ == Field::out) return false;
    clear(field_);
    return true;
  }
  bool boolean(bool) override { return depth_ != 0 && !atField() && !inStrings(); }
  bool number_integer(number_integer_t v) override {
    if (depth_ == 0 || inStrings()) return false;
    if (!atField()) return true;
    if (field_ == Field::modelSize) return job.modelSize = v, true;
    if (field_ == Field::size) return job.size = static_cast<double>(v), true;
    return false;
  }
  bool number_unsigned(number_unsigned_t v) override {
    if (depth_ == 0 || inStrings()) return false;
    if (!atField()) return true;
    if (field_ == Field::modelSize) {
      if (v > static_cast<number_unsigned_t>(std::numeric_limits<int64_t>::max())) return false;
      return job.modelSize = static_cast<int64_t>(v), true;
    }
    if (field_ == Field::size) return job.size = static_cast<double>(v), true;
    return false;
  }
  bool number_float(number_float_t v, const string_t&) override {
    if (depth_ == 0 || inStrings()) return false;
    if (!atField()) return true;
    if (field_ == Field::size) return job.size = v, true;
    if (field_ == Field::modelSize) {
      // Whole numbers only, within the signed 64-bit range: 5.0 and 1e3 are whole, 5.5 is not;
      // 2^63 is the first double past the range.
      if (!std::isfinite(v) || std::trunc(v) != v || v < -9223372036854775808.0 ||
          v >= 9223372036854775808.0)
        return false;
      return job.modelSize = static_cast<int64_t>(v), true;
    }
    return false;
  }
  bool string(string_t& v) override {
    if (depth_ == 0) return false;
    if (inStrings()) return job.strings->push_back(std::move(v)), true;
    if (!atField()) return true;
    if (field_ == Field::out) return job.out = std::move(v), sawOut = true, true;
    if (auto* target = stringField(job, field_)) return *target = std::move(v), true;
    return false;
  }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override {
    if (depth_ == 1 && field_ != Field::none) return false;  // no known key holds an object
    if (depth_ == 2 && stringsOpen_) return false;
    ++depth_;
    return true;
  }
  bool end_object() override {
    --depth_;
    if (depth_ == 1) field_ = Field::none;
    return true;
  }
  bool start_array(std::size_t) override {
    if (depth_ == 0) return false;
    if (depth_ == 1 && field_ != Field::none) {
      if (field_ != Field::strings) return false;
      job.strings.emplace();
      stringsOpen_ = true;
    } else if (stringsOpen_) {
      return false;  // a nested array inside "strings"
    }
    ++depth_;
    return true;
  }
  bool end_array() override {
    --depth_;
    if (depth_ == 1) {
      stringsOpen_ = false;
      field_ = Field::none;
    }
    return true;
  }
  bool key(string_t& k) override {
    if (depth_ == 1) field_ = fieldNamed(k);
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  // A scalar value directly under a key of the top-level object.
  bool atField() const { return depth_ == 1 && field_ != Field::none && !stringsOpen_; }
  bool inStrings() const { return stringsOpen_ && depth_ == 2; }
  void clear(Field f) {
    if (auto* target = stringField(job, f)) target->reset();
    if (f == Field::modelSize) job.modelSize.reset();
    if (f == Field::size) job.size.reset();
    if (f == Field::strings) job.strings.reset();
  }

  int depth_ = 0;
  Field field_ = Field::none;
  bool stringsOpen_ = false;
};

}  // namespace

std::optional<Job> decodeJob(std::string_view bytes) {
  Decoder decoder;
  bool ok = false;
  try {
    ok = json::sax_parse(bytes.begin(), bytes.end(), &decoder, json::input_format_t::json, true);
  } catch (...) {
    ok = false;
  }
  if (!ok || !decoder.sawOut) return std::nullopt;
  return std::move(decoder.job);
}
