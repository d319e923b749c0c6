#include <cstdio>
#include <cstring>

#include "image/image.h"

namespace image {

namespace {

constexpr char kImageHeader[] = "Content-type: image/gif\n\n";
constexpr std::size_t kCountTextSize = 256;

int canvas_width(int digit_count) {
  return kDigitSpacing * digit_count + (kGlyphSide - kDigitSpacing);
}

void paint_glyph(gdImagePtr canvas, const unsigned char* cells, int x0) {
  for (int y = 0; y < kGlyphSide; ++y) {
    for (int c = 0; c < kGlyphSide; ++c) {
      const unsigned char code = cells[kGlyphSide * y + c];
      if (code != 0) gdImageSetPixel(canvas, x0 + c, y, palette_slots[code]);
    }
  }
}

}  // namespace

int digit_count(int count) {
  char text[kCountTextSize];
  return std::snprintf(text, sizeof text, "%d", count);
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
  const int n = std::snprintf(text, sizeof text, "%d", count);
  for (int i = 1; i <= n && n <= kMaxDigits; ++i) {
    const int digit = text[n - i] - '0';
    if (digit < 0 || digit >= kDigits) continue;
    paint_glyph(canvas, glyph(current_style, digit), kDigitSpacing * (n - i));
  }
}

void emit_counter_image(gdImagePtr canvas, int count) {
  std::fputs(kImageHeader, stdout);
  draw_count(canvas, count);
  gdImageGif(canvas, stdout);
}

}  // namespace image
