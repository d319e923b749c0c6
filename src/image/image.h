// The counter image: canvas, styles, palette slots and the glyph set.
#pragma once

#include <cstddef>

#include <gd.h>

namespace image {

constexpr int kStyleCount = 4;
constexpr int kDigits = 10;
constexpr int kGlyphSide = 18;
constexpr int kGlyphCells = kGlyphSide * kGlyphSide;
constexpr int kStyleBlock = kDigits * kGlyphCells;
constexpr int kGlyphSetSize = kStyleCount * kStyleBlock;
constexpr int kDigitSpacing = 14;
constexpr int kMaxDigits = 9;
constexpr int kSlotCount = 256;

static_assert(kGlyphSetSize == 12960, "glyph set is 4 styles x 10 digits x 18 x 18");

struct Rgb {
  unsigned char red;
  unsigned char green;
  unsigned char blue;
};

struct StylePalette {
  const Rgb* entries;
  int size;          // entries, background included
  bool transparent;  // background is the transparent colour
};

// Constant tables built from data/.
extern const unsigned char glyph_set[kGlyphSetSize];
extern const StylePalette style_palettes[kStyleCount];

// Process-wide state written by apply_style and read by draw_count.
extern unsigned char current_style;
extern int palette_slots[kSlotCount];

// The 324 cell codes of a digit's glyph; style values above 2 give style 3.
const unsigned char* glyph(int style, int digit);

// Length of the count's decimal text, the number of glyph boxes.
int digit_count(int count);

// Owns the gd canvas of one counter image answer.
class Canvas {
 public:
  explicit Canvas(int digit_count);  // create canvas
  ~Canvas();
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;
  gdImagePtr get() const { return image_; }

 private:
  gdImagePtr image_;
};

void apply_style(gdImagePtr canvas, int argc, char** argv);
void draw_count(gdImagePtr canvas, int count);
// Header, digits and GIF data to standard output; the Canvas owner releases it.
void emit_counter_image(gdImagePtr canvas, int count);

}  // namespace image
