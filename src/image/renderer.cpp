#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "image/image.h"

namespace image {

namespace {

constexpr char kImageHeader[] = "Content-type: image/gif\n\n";
constexpr std::size_t kCountTextSize = 256;

// The count's decimal text as "%d" writes it, without printf's format work on every request.
int count_text(int count, char (&text)[kCountTextSize]) {
  return static_cast<int>(std::to_chars(text, text + kCountTextSize, count).ptr - text);
}

int canvas_width(int digit_count) {
  return kDigitSpacing * digit_count + (kGlyphSide - kDigitSpacing);
}

// Whether each code of the current style's glyphs is its own colour index, as
// on a fresh canvas: then a glyph row is copied as it is.
bool codes_are_indexes() {
  const int size = style_palettes[current_style < kStyleCount ? current_style : kStyleCount - 1].size;
  for (int k = 0; k < size; ++k) {
    if (palette_slots[k] != k) return false;
  }
  return true;
}

// What gdImageSetPixel does for a palette colour, written into gd's documented
// pixel rows directly, as a call per pixel costs about 100,000 instructions a
// request. Only cells inside the canvas's clip box, itself inside the canvas.
void paint_glyph(gdImagePtr canvas, const unsigned char* cells, int x0, bool as_indexes) {
  const int first = std::max({0, canvas->cx1 - x0, -x0});
  const int end = std::min({kGlyphSide, canvas->cx2 + 1 - x0, canvas->sx - x0});
  const int rows = std::min({kGlyphSide, canvas->cy2 + 1, canvas->sy});
  const bool whole_rows = first == 0 && end == kGlyphSide;
  for (int y = std::max(0, canvas->cy1); y < rows; ++y) {
    unsigned char* row = canvas->pixels[y];
    const unsigned char* codes = cells + kGlyphSide * y;
    if (as_indexes && whole_rows) {
      // A fixed-width blend, which the compiler does many cells at a time.
      unsigned char* box = row + x0;
      for (int c = 0; c < kGlyphSide; ++c) box[c] = codes[c] != 0 ? codes[c] : box[c];
      continue;
    }
    for (int c = first; c < end; ++c) {
      if (codes[c] != 0) row[x0 + c] = static_cast<unsigned char>(palette_slots[codes[c]]);
    }
  }
}

}  // namespace

int digit_count(int count) {
  char text[kCountTextSize];
  return count_text(count, text);
}

Canvas::Canvas(int digit_count)
    : image_(digit_count >= 1 && digit_count <= kMaxDigits
                 ? gdImageCreate(canvas_width(digit_count), kGlyphSide)
                 : nullptr) {}

Canvas::~Canvas() {
  if (image_ != nullptr) gdImageDestroy(image_);
}

// Right to left, so the left digit wins in the columns two boxes share.
void draw_count(gdImagePtr canvas, int count) {
  char text[kCountTextSize];
  const int n = count_text(count, text);
  const bool as_indexes = codes_are_indexes();
  for (int i = 1; i <= n && n <= kMaxDigits; ++i) {
    const int digit = text[n - i] - '0';
    if (digit < 0 || digit >= kDigits) continue;
    paint_glyph(canvas, glyph(current_style, digit), kDigitSpacing * (n - i), as_indexes);
  }
}

void emit_counter_image(gdImagePtr canvas, int count) {
  std::fputs(kImageHeader, stdout);
  draw_count(canvas, count);
  gdImageGif(canvas, stdout);
}

}  // namespace image
