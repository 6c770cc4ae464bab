// A progress line on standard error while it is a terminal: the file (when there are several),
// what is being done, a bar and the percentage. Each draw fits the terminal's width of the moment:
// a line that wrapped would leave a line behind at every redraw.
#pragma once

#include <cstdint>
#include <string>

class ProgressBar {
 public:
  // `file`: the input being worked on, named when there are several; "" names none.
  explicit ProgressBar(std::string file = "");
  ~ProgressBar();  // ends the line
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  bool shown() const { return shown_; }

  // Draws `phase` with `percent` (0 to 100), or with an empty bar and no figure when `percent` is
  // negative: a phase that has started but has no measure yet. A new phase after the download
  // starts a line of its own, so the download's last state stays in view. `note` follows the
  // figure (the device a transcription runs on); a new note after another starts a line too.
  void show(const std::string& phase, int64_t percent, const std::string& note = "");

 private:
  bool shown_;
  std::string file_;
  std::string phase_;
  std::string note_;
  bool drawn_ = false;
};
