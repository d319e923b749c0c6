// Decodes the program's GIF answers with giflib, independently of gd.
#pragma once

#include <string>
#include <vector>

namespace harness {

struct Colour {
  int red, green, blue;
  bool operator==(const Colour& o) const { return red == o.red && green == o.green && blue == o.blue; }
};

struct Picture {
  bool ok = false;
  int width = 0;
  int height = 0;
  int transparent = -1;          // colour index, -1 when none
  std::vector<Colour> palette;   // the colour table as stored (padded to a power of two)
  std::vector<int> pixels;       // colour indices, row by row
  int at(int x, int y) const { return pixels[static_cast<std::size_t>(y * width + x)]; }
};

Picture decode_gif(const std::string& bytes);

}  // namespace harness
