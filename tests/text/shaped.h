// HarfBuzz's own hb-shape as the outside measure of text: what the helper's widths and tovi's
// lines are checked against.
#pragma once

#include <hb.h>

#include <sstream>

#include "support/support.h"

namespace test {

// The font files that both the helper's widths and tovi's lines are checked in.
inline const std::string DEJAVU = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
inline const std::string WQY = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";

// The width in points of each line of `text` set in the font file: the sum of hb-shape's advances,
// unrounded.
inline std::vector<double> shapedLines(const std::string& file, const std::string& text, double size) {
  TempDir dir;
  writeFile(dir / "lines.txt", text);
  const auto run = runProgram("/usr/bin/hb-shape", {"--font-funcs=ot", "-O", "json", "--no-glyph-names",
                                                    "--text-file=" + dir / "lines.txt", file});
  EXPECT_EQ(run.status, 0) << run.output;
  hb_blob_t* blob = hb_blob_create_from_file(file.c_str());
  hb_face_t* face = hb_face_create(blob, 0);
  const double upem = hb_face_get_upem(face);
  hb_face_destroy(face);
  hb_blob_destroy(blob);
  std::vector<double> widths;
  std::istringstream out(run.output);
  for (std::string row; std::getline(out, row);) {
    double total = 0;
    for (const auto& glyph : nlohmann::json::parse(row)) total += glyph["ax"].get<double>();
    widths.push_back(total / upem * size);
  }
  return widths;
}

}  // namespace test
