#include "client/progress_bar.h"

#include <sys/ioctl.h>
#include <unistd.h>
#include <utf8proc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "jobs/utf8.h"

namespace {

constexpr const char* DOWNLOAD = "Downloading the model";
constexpr int CELLS = 30;  // the bar at its widest

// Columns that `text` takes on a terminal; invalid UTF-8 counts a column a byte.
int columnsOf(const std::string& text) {
  int columns = 0;
  for (size_t at = 0; at < text.size();) {
    const int32_t c = nextCodePoint(text, at);
    columns += c < 0 ? 1 : std::max(0, utf8proc_charwidth(c));
  }
  return columns;
}

// `text` cut to at most `columns` columns, from its start or (for a file name, whose end tells
// most) from its end, the cut marked with "…".
std::string fitted(const std::string& text, int columns, bool keepEnd) {
  if (columnsOf(text) <= columns) return text;
  if (columns <= 0) return "";
  std::string kept = text;
  while (!kept.empty() && columnsOf(kept) > columns - 1) {
    if (keepEnd) {
      size_t cut = 1;
      while (cut < kept.size() && (static_cast<unsigned char>(kept[cut]) & 0xC0) == 0x80) ++cut;
      kept.erase(0, cut);
    } else {
      size_t cut = kept.size() - 1;
      while (cut > 0 && (static_cast<unsigned char>(kept[cut]) & 0xC0) == 0x80) --cut;
      kept.erase(cut);
    }
  }
  return keepEnd ? "…" + kept : kept + "…";
}

int terminalColumns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  const char* columns = std::getenv("COLUMNS");
  const int value = columns ? std::atoi(columns) : 0;
  return value > 0 ? value : 80;
}

// The line drawn in `columns` columns of a terminal: never wider than `columns` - 1, so that the
// cursor never wraps.
std::string progressLine(const std::string& file, const std::string& phase, int64_t percent,
                         const std::string& note, int columns) {
  const std::string after = note.empty() ? "" : " " + note;
  // The note gives way to the rest when the terminal is narrow.
  const int room = std::max(columns - 1 - columnsOf(after), std::min(columns - 1, 40));
  // Room for the figure is kept before it is known, so that the bar does not move when it comes.
  constexpr int FIGURE = 5;  // " 100%"
  char figure[8] = "";
  if (percent >= 0)
    std::snprintf(figure, sizeof figure, " %3d%%", static_cast<int>(std::clamp<int64_t>(percent, 0, 100)));
  constexpr int SHORTEST_BAR = 3 + 10;  // " [" ten cells "]"
  // Phases are padded to one width, so that the bars of successive phases line up.
  const int labelWidth = std::max(columnsOf(phase), columnsOf(DOWNLOAD));
  const int fixed = labelWidth + FIGURE + SHORTEST_BAR;
  // The file gives way first (its end tells most) down to 16 columns, then the padding and the bar,
  // then the file again: the phase and the figure stay whole.
  int budget = room - fixed - 2;
  if (budget < 16) budget = std::min(16, room - columnsOf(phase) - FIGURE - 2);
  std::string name = file.empty() || budget < 4 ? "" : fitted(file, budget, true) + ": ";
  std::string label = phase;
  if (columnsOf(name) + fixed <= room) label.append(static_cast<size_t>(labelWidth - columnsOf(phase)), ' ');
  const int cells = std::min(CELLS, room - columnsOf(name) - columnsOf(label) - FIGURE - 3);
  std::string line = name + label;
  if (cells >= 5) {
    const int filled = percent < 0 ? 0 : static_cast<int>(std::clamp<int64_t>(percent, 0, 100) * cells / 100);
    line += " [" + std::string(static_cast<size_t>(filled), '#');
    line += std::string(static_cast<size_t>(cells - filled), '-') + "]";
  }
  return fitted(line + figure + after, columns - 1, false);
}

}  // namespace

ProgressBar::ProgressBar(std::string file) : shown_(::isatty(STDERR_FILENO) == 1), file_(std::move(file)) {}

ProgressBar::~ProgressBar() {
  if (!drawn_) return;
  std::fputs("\n", stderr);
  std::fflush(stderr);
}

void ProgressBar::show(const std::string& phase, int64_t percent, const std::string& note) {
  if (!shown_) return;
  if (drawn_ && ((phase != phase_ && phase_ == DOWNLOAD) || (!note_.empty() && note != note_)))
    std::fputs("\n", stderr);
  // The rest of the line is cleared, for a line shorter than the one before.
  std::fprintf(stderr, "\r%s\x1b[K", progressLine(file_, phase, percent, note, terminalColumns()).c_str());
  std::fflush(stderr);
  drawn_ = true;
  phase_ = phase;
  note_ = note;
}
