// Draws every digit of every style from the built tables, 4x without smoothing,
// on a light and a dark backdrop, next to the same strip at 1x: docs/styles.png.
// Under each style a few counts drawn by the program's own renderer show how
// neighbouring digits overlap.
//
//   cmake --build <build dir> --target styles_png
#include <gd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>

#include "image/image.h"

namespace {

constexpr int kScale = 4;
constexpr int kMargin = 12;
constexpr int kDigitsWidth = image::kDigitSpacing * image::kDigits + image::kGlyphSide - image::kDigitSpacing;
constexpr int kRowHeight = image::kGlyphSide * kScale;

// Counts whose neighbouring digits share pixels in the overlapping styles.
constexpr int kCounts[] = {2020, 8888, 5906};
constexpr int kCountCount = static_cast<int>(std::size(kCounts));

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

int count_width(int count) {
  return image::kDigitSpacing * image::digit_count(count) + image::kGlyphSide - image::kDigitSpacing;
}

// Strips laid side by side at 1x, a margin apart.
int strips_width(const int* widths, int n) {
  int sum = 0;
  for (int i = 0; i < n; ++i) sum += widths[i];
  return sum + (n - 1) * kMargin;
}

// A row shows its strips enlarged, then a margin, then the same strips at 1x.
int row_width(const int* widths, int n) { return strips_width(widths, n) * (kScale + 1) + kMargin; }

int cell_width() {
  int counts[kCountCount] = {};
  for (int i = 0; i < kCountCount; ++i) counts[i] = count_width(kCounts[i]);
  return std::max(row_width(&kDigitsWidth, 1), row_width(counts, kCountCount));
}

ImagePtr styled_canvas(int style, int width) {
  ImagePtr strip(gdImageCreate(width, image::kGlyphSide));
  if (!strip) return strip;
  char program[] = "lumicount.exe";
  char name[] = "sheet";
  char argument[4] = {};
  std::snprintf(argument, sizeof argument, "%s", kStyleArguments[style]);
  char* argv[] = {program, name, argument, nullptr};
  image::apply_style(strip.get(), 3, argv);
  return strip;
}

// The ten digits as the renderer lays out a count: right to left, left digit on top.
ImagePtr digits_strip(int style) {
  ImagePtr strip = styled_canvas(style, kDigitsWidth);
  if (!strip) return strip;
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

ImagePtr count_strip(int style, int count) {
  ImagePtr strip = styled_canvas(style, count_width(count));
  if (strip) image::draw_count(strip.get(), count);
  return strip;
}

void paste(gdImagePtr sheet, gdImagePtr strip, int x0, int y0, int scale, const Backdrop& back) {
  const int transparent = gdImageGetTransparent(strip);
  const int backdrop = gdImageColorAllocate(sheet, back.red, back.green, back.blue);
  for (int y = 0; y < gdImageSY(strip); ++y)
    for (int x = 0; x < gdImageSX(strip); ++x) {
      const int index = gdImageGetPixel(strip, x, y);
      const int colour = index == transparent
                             ? backdrop
                             : gdImageColorAllocate(sheet, gdImageRed(strip, index),
                                                    gdImageGreen(strip, index), gdImageBlue(strip, index));
      gdImageFilledRectangle(sheet, x0 + x * scale, y0 + y * scale, x0 + (x + 1) * scale - 1,
                             y0 + (y + 1) * scale - 1, colour);
    }
}

// The strips enlarged side by side, then the same strips at 1x, on every backdrop.
void paste_row(gdImagePtr sheet, const ImagePtr* strips, int n, int y0, int cell) {
  int widths[kCountCount] = {};
  for (int i = 0; i < n && i < kCountCount; ++i) widths[i] = gdImageSX(strips[i].get());
  const int small_offset = strips_width(widths, n) * kScale + kMargin;
  for (int b = 0; b < kBackdropCount; ++b) {
    int big_x = kMargin + b * (cell + kMargin);
    int small_x = big_x + small_offset;
    for (int i = 0; i < n && i < kCountCount; ++i) {
      paste(sheet, strips[i].get(), big_x, y0, kScale, kBackdrops[b]);
      paste(sheet, strips[i].get(), small_x, y0, 1, kBackdrops[b]);
      big_x += (widths[i] + kMargin) * kScale;
      small_x += widths[i] + kMargin;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: glyph_sheet <out.png>\n");
    return 2;
  }
  const int cell = cell_width();
  const int width = kMargin + kBackdropCount * (cell + kMargin);
  const int style_height = 2 * kRowHeight + 2 * kMargin;
  const int height = kMargin + image::kStyleCount * style_height;
  const ImagePtr sheet(gdImageCreateTrueColor(width, height));
  if (!sheet) return 1;
  gdImageFilledRectangle(sheet.get(), 0, 0, width - 1, height - 1, gdTrueColor(128, 128, 128));
  for (int b = 0; b < kBackdropCount; ++b) {
    const int x0 = kMargin + b * (cell + kMargin);
    gdImageFilledRectangle(sheet.get(), x0 - kMargin / 2, kMargin / 2, x0 + cell + kMargin / 2 - 1,
                           height - kMargin / 2 - 1,
                           gdTrueColor(kBackdrops[b].red, kBackdrops[b].green, kBackdrops[b].blue));
  }
  for (int s = 0; s < image::kStyleCount; ++s) {
    const ImagePtr digits[] = {digits_strip(s)};
    ImagePtr counts[kCountCount];
    for (int i = 0; i < kCountCount; ++i) counts[i] = count_strip(s, kCounts[i]);
    if (!digits[0] || std::any_of(std::begin(counts), std::end(counts), [](const ImagePtr& c) { return !c; }))
      return 1;
    const int y0 = kMargin + s * style_height;
    paste_row(sheet.get(), digits, 1, y0, cell);
    paste_row(sheet.get(), counts, kCountCount, y0 + kRowHeight + kMargin, cell);
  }
  const FilePtr out(std::fopen(argv[1], "wb"));
  if (!out) {
    std::fprintf(stderr, "glyph_sheet: cannot write %s\n", argv[1]);
    return 1;
  }
  gdImagePng(sheet.get(), out.get());
  return 0;
}
