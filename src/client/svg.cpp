#include "client/svg.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr double WIDTH = 1000, HEIGHT = 320;
constexpr double LEFT = 56, RIGHT = 16, TOP = 16, BOTTOM = 40;

std::string number(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f", value);
  return buffer;
}

std::string whole(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.0f", value);
  return buffer;
}

// A step of 1, 2 or 5 times a power of ten that gives about `count` ticks over `span`.
double niceStep(double span, int count) {
  const double raw = span / count;
  const double power = std::pow(10, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (raw <= m * power) return m * power;
  return 10 * power;
}

std::string timeLabel(double seconds, double step) {
  char buffer[32];
  if (seconds >= 60) {
    const auto whole = static_cast<long long>(std::llround(seconds));
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld", whole / 60, whole % 60);
  } else if (step < 1) {
    std::snprintf(buffer, sizeof buffer, "%.*f s", step < 0.1 ? 2 : 1, seconds);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.0f s", seconds);
  }
  return buffer;
}

}  // namespace

std::string envelopeSvg(const std::vector<double>& db, double hop, double floor) {
  const double plotWidth = WIDTH - LEFT - RIGHT, plotHeight = HEIGHT - TOP - BOTTOM;
  const double duration = std::max(hop * static_cast<double>(db.size()), hop);
  double quietest = 0;
  for (double level : db)
    if (std::isfinite(level)) quietest = std::min(quietest, level);
  const double bottom = std::max(floor, std::min(-60.0, std::floor(quietest / 10) * 10));
  auto x = [&](double seconds) { return LEFT + plotWidth * seconds / duration; };
  auto y = [&](double level) {
    const double clamped = std::clamp(std::isfinite(level) ? level : bottom, bottom, 0.0);
    return TOP + plotHeight * clamped / bottom;
  };

  std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(WIDTH) + "\" height=\"" +
                    number(HEIGHT) + "\" viewBox=\"0 0 " + number(WIDTH) + " " + number(HEIGHT) +
                    "\" font-family=\"sans-serif\" font-size=\"12\">\n"
                    "<title>Loudness envelope</title>\n"
                    "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  // The dB scale: a line and a label every 10 or 20 dB.
  const double levelStep = bottom <= -80 ? 20 : 10;
  svg += "<g stroke=\"#ddd\">\n";
  for (double level = 0; level >= bottom - 1e-9; level -= levelStep)
    svg += "<line x1=\"" + number(LEFT) + "\" x2=\"" + number(LEFT + plotWidth) + "\" y1=\"" + number(y(level)) +
           "\" y2=\"" + number(y(level)) + "\"/>\n";
  svg += "</g>\n<g text-anchor=\"end\" fill=\"#333\">\n";
  for (double level = 0; level >= bottom - 1e-9; level -= levelStep)
    svg += "<text x=\"" + number(LEFT - 6) + "\" y=\"" + number(y(level) + 4) + "\">" + whole(level) + " dB</text>\n";
  svg += "</g>\n";

  // The time axis.
  const double step = niceStep(duration, 10);
  svg += "<g text-anchor=\"middle\" fill=\"#333\">\n";
  // Counted, not summed: a step too small to add to the time would never end the loop.
  for (int tick = 0; tick <= 100 && tick * step <= duration + 1e-9; ++tick) {
    const double t = tick * step, at = x(t);
    svg += "<line x1=\"" + number(at) + "\" x2=\"" + number(at) + "\" y1=\"" + number(TOP + plotHeight) + "\" y2=\"" +
           number(TOP + plotHeight + 5) + "\" stroke=\"#333\"/>\n";
    svg += "<text x=\"" + number(at) + "\" y=\"" + number(TOP + plotHeight + 18) + "\">" + timeLabel(t, step) + "</text>\n";
  }
  svg += "<text x=\"" + number(LEFT + plotWidth / 2) + "\" y=\"" + number(HEIGHT - 4) + "\">time</text>\n</g>\n";

  // The curve: one point per pixel column, the loudest level in it, closed down to the floor.
  const auto columns = static_cast<size_t>(plotWidth);
  // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about "M" + std::string.
  std::string path = "M";
  path += number(x(0));
  path += ',';
  path += number(y(bottom));
  if (!db.empty()) {
    const size_t points = std::min(db.size(), columns);
    for (size_t p = 0; p < points; ++p) {
      const size_t from = p * db.size() / points, to = std::max(from + 1, (p + 1) * db.size() / points);
      double loudest = -INFINITY;
      for (size_t i = from; i < to; ++i) loudest = std::max(loudest, db[i]);
      const double t = hop * (static_cast<double>(from + to) / 2);
      path += " L" + number(x(t)) + "," + number(y(loudest));
    }
  }
  path += " L" + number(x(duration)) + "," + number(y(bottom)) + " Z";
  svg += "<path d=\"" + path + "\" fill=\"#4a7fc1\" fill-opacity=\"0.6\" stroke=\"#1f4e8c\" stroke-width=\"1\"/>\n";
  svg += "<rect x=\"" + number(LEFT) + "\" y=\"" + number(TOP) + "\" width=\"" + number(plotWidth) + "\" height=\"" +
         number(plotHeight) + "\" fill=\"none\" stroke=\"#333\"/>\n</svg>\n";
  return svg;
}
