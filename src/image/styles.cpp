#include <algorithm>
#include <cstring>
#include <iterator>

#include "image/image.h"

namespace image {

namespace {

#include "style_palettes.inc"

enum Style : unsigned char { kStyleMetal, kStyleTiles, kStyleSlanted, kStyleSmall, kStyleEnd };
static_assert(kStyleEnd == kStyleCount, "one entry per style");

// Argument 2 that selects each style; style 0 is what anything else gives.
constexpr const char* kStyleArgument[] = {"", "1", "2", "3"};
static_assert(std::size(kStyleArgument) == kStyleEnd, "one argument per style");

static_assert(std::size(kPalette0) == 120, "style 0: background and 119 glyph colours");
static_assert(std::size(kPalette1) == 155, "style 1: background and 154 glyph colours");
static_assert(std::size(kPalette2) == 31, "style 2: background and 30 glyph colours");
static_assert(std::size(kPalette3) == 17, "style 3: background and 16 glyph colours");

// No numeric conversion: "03" or "3 " are not style 3.
Style choose_style(int argc, char** argv) {
  if (argc != 3) return kStyleMetal;
  for (int s = kStyleTiles; s < kStyleEnd; ++s) {
    if (std::strcmp(argv[2], kStyleArgument[s]) == 0) return static_cast<Style>(s);
  }
  return kStyleMetal;
}

// The largest palette fits gd's table, and every index has a slot.
static_assert(std::size(kPalette1) <= gdMaxColors && gdMaxColors <= kSlotCount, "palettes fit the canvas");

// As many gdImageColorAllocate calls leave a fresh palette canvas: entry k at
// index k, opaque, no longer open. Written into gd's documented fields directly,
// as those calls cost about 75,000 instructions a request.
bool fill_fresh_palette(gdImagePtr canvas, const StylePalette& palette) {
  if (canvas->trueColor != 0 || canvas->colorsTotal != 0) return false;
  for (int k = 0; k < palette.size; ++k) {
    canvas->red[k] = palette.entries[k].red;
    canvas->green[k] = palette.entries[k].green;
    canvas->blue[k] = palette.entries[k].blue;
    canvas->alpha[k] = gdAlphaOpaque;
    canvas->open[k] = 0;
    palette_slots[k] = k;
  }
  canvas->colorsTotal = palette.size;
  return true;
}

}  // namespace

const StylePalette style_palettes[kStyleCount] = {
    {kPalette0, static_cast<int>(std::size(kPalette0)), true},
    {kPalette1, static_cast<int>(std::size(kPalette1)), true},
    {kPalette2, static_cast<int>(std::size(kPalette2)), true},
    {kPalette3, static_cast<int>(std::size(kPalette3)), false},
};
static_assert(std::size(style_palettes) == kStyleEnd, "one palette per style");

unsigned char current_style = 0;
int palette_slots[kSlotCount] = {};

const unsigned char* glyph(int style, int digit) {
  const int block =
      (style == kStyleMetal || style == kStyleTiles || style == kStyleSlanted) ? style : kStyleSmall;
  return glyph_set + kStyleBlock * block + kGlyphCells * digit;
}

void apply_style(gdImagePtr canvas, int argc, char** argv) {
  const Style style = choose_style(argc, argv);
  current_style = style;
  const StylePalette& palette = style_palettes[style];
  if (!fill_fresh_palette(canvas, palette)) {
    for (int k = 0; k < palette.size; ++k) {
      const Rgb& rgb = palette.entries[k];
      palette_slots[k] = gdImageColorAllocate(canvas, rgb.red, rgb.green, rgb.blue);
    }
  }
  // A resident process draws many counts: no slot keeps an earlier style's colour.
  std::fill(palette_slots + palette.size, std::end(palette_slots), 0);
  if (palette.transparent) gdImageColorTransparent(canvas, palette_slots[0]);
}

}  // namespace image
