#include "text/measure.h"

#include "jobs/failure.h"
#include "platform/fonts.h"

std::vector<double> measure(const Job& job) {
  if (!job.font || !job.size || !job.strings) throw Failure("measure needs font, size, strings");
  auto font = fonts::Font::named(*job.font, *job.size);
  if (!font) throw Failure("The font " + *job.font + " isn't installed on this Mac");
  std::vector<double> widths;
  widths.reserve(job.strings->size());
  for (const std::string& text : *job.strings) widths.push_back(font->width(text));
  return widths;
}
