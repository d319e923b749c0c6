// Draws every digit of every style from the built tables, 4x without smoothing,
// on a light and a dark backdrop, next to the same strip at 1x: docs/styles.png.
//
//   cmake --build <build dir> --target styles_png
#include <gd.h>

#include <cstdio>
#include <iterator>
#include <memory>

#include "image/image.h"

namespace {

constexpr int kScale = 4;
constexpr int kStripWidth = image::kDigitSpacing * image::kDigits + image::kGlyphSide - image::kDigitSpacing;
constexpr int kMargin = 12;
constexpr int kCellWidth = kStripWidth * kScale + kMargin + kStripWidth;
constexpr int kCellHeight = image::kGlyphSide * kScale;

struct Backdrop {
  int red, green, blue;
};
constexpr Backdrop kBackdrops[] = {{244, 242, 236}, {34, 38, 48}};
constexpr int kBackdropCount = static_cast<int>(std::size(kBackdrops));

// The argument that selects each style, as a counter request gives it.
constexpr const char* kStyleArguments[image::kStyleCount] = {"0", "1", "2", "3"};

struct ImageDeleter {
  void operator()(gdImagePtr im) const { gdImageDestroy(im); }
};
using ImagePtr = std::unique_ptr<gdImage, ImageDeleter>;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The ten digits as the renderer lays out a count: right to left, left digit on top.
ImagePtr style_strip(int style) {
  ImagePtr strip(gdImageCreate(kStripWidth, image::kGlyphSide));
  if (!strip) return strip;
  char program[] = "lumicount.exe";
  char name[] = "sheet";
  char argument[4] = {};
  std::snprintf(argument, sizeof argument, "%s", kStyleArguments[style]);
  char* argv[] = {program, name, argument, nullptr};
  image::apply_style(strip.get(), 3, argv);
  for (int d = image::kDigits - 1; d >= 0; --d) {
    const unsigned char* cells = image::glyph(style, d);
    for (int i = 0; i < image::kGlyphCells; ++i) {
      if (cells[i] == 0) continue;
      gdImageSetPixel(strip.get(), image::kDigitSpacing * d + i % image::kGlyphSide, i / image::kGlyphSide,
                      image::palette_slots[cells[i]]);
    }
  }
  return strip;
}

void paste(gdImagePtr sheet, gdImagePtr strip, int x0, int y0, int scale, const Backdrop& back) {
  const int transparent = gdImageGetTransparent(strip);
  const int backdrop = gdImageColorAllocate(sheet, back.red, back.green, back.blue);
  for (int y = 0; y < image::kGlyphSide; ++y)
    for (int x = 0; x < kStripWidth; ++x) {
      const int index = gdImageGetPixel(strip, x, y);
      const int colour = index == transparent
                             ? backdrop
                             : gdImageColorAllocate(sheet, gdImageRed(strip, index),
                                                    gdImageGreen(strip, index), gdImageBlue(strip, index));
      gdImageFilledRectangle(sheet, x0 + x * scale, y0 + y * scale, x0 + (x + 1) * scale - 1,
                             y0 + (y + 1) * scale - 1, colour);
    }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: glyph_sheet <out.png>\n");
    return 2;
  }
  const int width = kMargin + kBackdropCount * (kCellWidth + kMargin);
  const int height = kMargin + image::kStyleCount * (kCellHeight + kMargin);
  const ImagePtr sheet(gdImageCreateTrueColor(width, height));
  if (!sheet) return 1;
  gdImageFilledRectangle(sheet.get(), 0, 0, width - 1, height - 1, gdTrueColor(128, 128, 128));
  for (int b = 0; b < kBackdropCount; ++b) {
    const int x0 = kMargin + b * (kCellWidth + kMargin);
    gdImageFilledRectangle(sheet.get(), x0 - kMargin / 2, kMargin / 2, x0 + kCellWidth + kMargin / 2 - 1,
                           height - kMargin / 2 - 1,
                           gdTrueColor(kBackdrops[b].red, kBackdrops[b].green, kBackdrops[b].blue));
  }
  for (int s = 0; s < image::kStyleCount; ++s) {
    const ImagePtr strip = style_strip(s);
    if (!strip) return 1;
    const int y0 = kMargin + s * (kCellHeight + kMargin);
    for (int b = 0; b < kBackdropCount; ++b) {
      const int x0 = kMargin + b * (kCellWidth + kMargin);
      paste(sheet.get(), strip.get(), x0, y0, kScale, kBackdrops[b]);
      paste(sheet.get(), strip.get(), x0 + kStripWidth * kScale + kMargin, y0, 1, kBackdrops[b]);
    }
  }
  const FilePtr out(std::fopen(argv[1], "wb"));
  if (!out) {
    std::fprintf(stderr, "glyph_sheet: cannot write %s\n", argv[1]);
    return 1;
  }
  gdImagePng(sheet.get(), out.get());
  return 0;
}
