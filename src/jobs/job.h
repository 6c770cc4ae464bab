// The job file record: one JSON object decoded into sixteen fields.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The texts of "strings", kept end to end in one buffer: a job of millions of short texts would
// take several times its file's size as separate strings.
class Strings {
 public:
  Strings() = default;
  Strings(const std::vector<std::string>& texts) {  // NOLINT: a list of texts is one
    for (const auto& text : texts) push_back(text);
  }

  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;
    iterator() = default;
    iterator(const Strings* list, size_t at) : list_(list), at_(at) {}
    std::string_view operator*() const { return (*list_)[at_]; }
    iterator& operator++() { return ++at_, *this; }
    iterator operator++(int) { return iterator(list_, at_++); }
    bool operator==(const iterator& other) const { return at_ == other.at_; }

   private:
    const Strings* list_ = nullptr;
    size_t at_ = 0;
  };

  void push_back(std::string_view text) {
    // Four bytes an end: texts of up to 4 GiB in all, far beyond the job file's limit.
    if (text_.size() + text.size() > UINT32_MAX) throw std::length_error("too many texts");
    text_.append(text);
    ends_.push_back(static_cast<uint32_t>(text_.size()));
  }
  std::string_view operator[](size_t i) const {
    const size_t start = i ? ends_[i - 1] : 0;
    return std::string_view(text_).substr(start, ends_[i] - start);
  }
  size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  iterator begin() const { return iterator(this, 0); }
  iterator end() const { return iterator(this, ends_.size()); }
  bool operator==(const Strings& other) const = default;
  bool operator==(const std::vector<std::string>& texts) const {
    return std::equal(begin(), end(), texts.begin(), texts.end());
  }

 private:
  std::string text_;
  std::vector<uint32_t> ends_;
};

struct Job {
  std::string out;  // the only required field
  std::optional<std::string> kind;
  std::optional<std::string> wav;
  std::optional<std::string> model;
  std::optional<std::string> whisper;
  std::optional<std::string> lang;
  std::optional<std::string> prompt;
  std::optional<std::string> dtw;
  std::optional<std::string> modelURL;
  std::optional<std::string> modelSHA;
  std::optional<int64_t> modelSize;
  std::optional<std::string> font;
  std::optional<double> size;
  std::optional<Strings> strings;
  std::optional<std::string> xmlPath;
  std::optional<std::string> id;
};

// The deepest nesting of arrays and objects accepted in any JSON the helper reads: far beyond
// what a job or a transcript holds, and shallow enough that nothing recursive over it can run out
// of stack.
inline constexpr int MAX_NESTING = 512;

// Decodes the bytes of a job file. Gives nothing when they are not one JSON object, when "out"
// is missing or not a string, or when any known key holds a value of the wrong type (null counts
// as absent; unknown keys are ignored). Never throws, whatever the input.
std::optional<Job> decodeJob(std::string_view bytes);
