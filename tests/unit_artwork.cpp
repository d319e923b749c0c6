// The built glyph set and style palettes against the rules every counter image relies on.
#include <gd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "image/image.h"

namespace {

using image::glyph;
using image::kDigits;
using image::kGlyphSide;
using image::kStyleCount;
using image::Rgb;
using image::style_palettes;

int cell(int style, int digit, int row, int col) {
  return image::glyph_set[image::kStyleBlock * style + image::kGlyphCells * digit + kGlyphSide * row + col];
}

bool painted(int style, int digit, int row, int col) {
  if (row < 0 || row >= kGlyphSide || col < 0 || col >= kGlyphSide) return false;
  return cell(style, digit, row, col) != 0;
}

int highest_code(int style) {
  int high = 0;
  for (int d = 0; d < kDigits; ++d)
    for (int r = 0; r < kGlyphSide; ++r)
      for (int c = 0; c < kGlyphSide; ++c) high = std::max(high, cell(style, d, r, c));
  return high;
}

std::array<int, 256> code_counts(int style) {
  std::array<int, 256> counts{};
  for (int d = 0; d < kDigits; ++d)
    for (int r = 0; r < kGlyphSide; ++r)
      for (int c = 0; c < kGlyphSide; ++c) ++counts[cell(style, d, r, c)];
  return counts;
}

int luma(const Rgb& rgb) { return 299 * rgb.red + 587 * rgb.green + 114 * rgb.blue; }

bool same(const Rgb& a, const Rgb& b) { return a.red == b.red && a.green == b.green && a.blue == b.blue; }

const Rgb& entry(int style, int k) { return style_palettes[style].entries[k]; }

struct PaletteFacts {
  int size;
  Rgb background;
  bool transparent;
};
constexpr PaletteFacts kPaletteFacts[kStyleCount] = {
    {120, {223, 139, 143}, true},
    {155, {145, 255, 105}, true},
    {31, {255, 255, 255}, true},
    {17, {92, 88, 87}, false},
};

TEST(GlyphSet, EveryStyleUsesEachOfItsCodesAndNoneAbove) {
  for (int s = 0; s < kStyleCount; ++s) {
    EXPECT_EQ(highest_code(s), kPaletteFacts[s].size - 1) << "style " << s;
    const auto counts = code_counts(s);
    for (int k = 1; k < kPaletteFacts[s].size; ++k) EXPECT_GT(counts[k], 0) << "style " << s << " code " << k;
  }
}

TEST(GlyphSet, CodesAreNumberedByFirstAppearance) {
  for (const int s : {0, 1, 3}) {
    int high = 0;
    for (int d = 0; d < kDigits; ++d)
      for (int r = 0; r < kGlyphSide; ++r)
        for (int c = 0; c < kGlyphSide; ++c) {
          const int k = cell(s, d, r, c);
          ASSERT_LE(k, high + 1) << "style " << s << " digit " << d << " row " << r << " col " << c;
          high = std::max(high, k);
        }
  }
}

struct Box {
  int top, bottom;  // first and last row
  int left, right;  // first and last column
};

struct StyleArea {
  Box all;                  // the ten glyphs together paint exactly this far
  int left_edge_first_row;  // column all.left is painted in no row above this one
  Box glyph;                // every glyph stays inside; its rows are exact when glyph_rows_exact
  bool glyph_rows_exact;
  int own_digit;  // a digit with a box of its own instead, or -1
  Box own;
  bool neighbours_overlap;  // some pair of neighbouring digits paints the same pixel
};

constexpr StyleArea kStyleAreas[kStyleCount] = {
    {{0, 16, 1, 17}, 0, {0, 15, 1, 17}, true, 6, {0, 16, 1, 17}, true},
    {{2, 15, 2, 15}, 2, {2, 15, 2, 15}, true, -1, {}, false},
    {{6, 17, 0, 15}, 8, {6, 17, 0, 15}, true, 1, {7, 17, 0, 15}, true},
    {{4, 14, 5, 13}, 4, {4, 14, 5, 13}, false, 1, {4, 14, 6, 11}, false},
};

Box painted_box(int style, int digit) {
  Box box{kGlyphSide, -1, kGlyphSide, -1};
  for (int r = 0; r < kGlyphSide; ++r)
    for (int c = 0; c < kGlyphSide; ++c)
      if (painted(style, digit, r, c)) box = {std::min(box.top, r), std::max(box.bottom, r),
                                              std::min(box.left, c), std::max(box.right, c)};
  return box;
}

Box joined(const Box& a, const Box& b) {
  return {std::min(a.top, b.top), std::max(a.bottom, b.bottom), std::min(a.left, b.left),
          std::max(a.right, b.right)};
}

bool within(const Box& inner, const Box& outer) {
  return inner.top >= outer.top && inner.bottom <= outer.bottom && inner.left >= outer.left &&
         inner.right <= outer.right;
}

// The left digit's columns 14 to 17 are the right digit's columns 0 to 3.
bool neighbours_share_a_pixel(int style, int left, int right) {
  for (int r = 0; r < kGlyphSide; ++r)
    for (int c = image::kDigitSpacing; c < kGlyphSide; ++c)
      if (painted(style, left, r, c) && painted(style, right, r, c - image::kDigitSpacing)) return true;
  return false;
}

TEST(GlyphSet, GlyphsFillTheirStylesAreaExactly) {
  for (int s = 0; s < kStyleCount; ++s) {
    const StyleArea& area = kStyleAreas[s];
    Box all{kGlyphSide, -1, kGlyphSide, -1};
    for (int d = 0; d < kDigits; ++d) {
      const Box box = painted_box(s, d);
      const Box& bound = d == area.own_digit ? area.own : area.glyph;
      all = joined(all, box);
      EXPECT_TRUE(within(box, bound)) << "style " << s << " digit " << d;
      if (area.glyph_rows_exact) {
        EXPECT_EQ(box.top, bound.top) << "style " << s << " digit " << d;
        EXPECT_EQ(box.bottom, bound.bottom) << "style " << s << " digit " << d;
      }
      for (int r = 0; r < area.left_edge_first_row; ++r)
        EXPECT_FALSE(painted(s, d, r, area.all.left)) << "style " << s << " digit " << d << " row " << r;
    }
    EXPECT_EQ(all.top, area.all.top) << "style " << s;
    EXPECT_EQ(all.bottom, area.all.bottom) << "style " << s;
    EXPECT_EQ(all.left, area.all.left) << "style " << s;
    EXPECT_EQ(all.right, area.all.right) << "style " << s;
    bool overlap = false;
    for (int left = 0; left < kDigits; ++left)
      for (int right = 0; right < kDigits; ++right) overlap = overlap || neighbours_share_a_pixel(s, left, right);
    EXPECT_EQ(overlap, area.neighbours_overlap) << "style " << s;
  }
}

TEST(GlyphSet, Style0ShapesAreRingedInBlackAndHaveBlackInside) {
  int inner_black = 0;
  for (int d = 0; d < kDigits; ++d)
    for (int r = 0; r < kGlyphSide; ++r)
      for (int c = 0; c < kGlyphSide; ++c) {
        if (!painted(0, d, r, c)) continue;
        const bool edge = !painted(0, d, r - 1, c) || !painted(0, d, r + 1, c) || !painted(0, d, r, c - 1) ||
                          !painted(0, d, r, c + 1);
        if (edge) {
          EXPECT_EQ(cell(0, d, r, c), 1) << "digit " << d << " row " << r << " col " << c;
        }
        if (!edge && cell(0, d, r, c) == 1) ++inner_black;
      }
  EXPECT_GT(inner_black, 0);
}

TEST(GlyphSet, Style1TilesFillTheirSquareAndDifferOnlyInTheDigitArea) {
  for (int d = 0; d < kDigits; ++d) {
    int count = 0;
    for (int r = 0; r < kGlyphSide; ++r)
      for (int c = 0; c < kGlyphSide; ++c) {
        count += painted(1, d, r, c) ? 1 : 0;
        const bool digit_area = r >= 5 && r <= 13 && c >= 5 && c <= 12;
        if (!digit_area) {
          EXPECT_EQ(cell(1, d, r, c), cell(1, 0, r, c)) << "digit " << d << " row " << r << " col " << c;
        }
      }
    EXPECT_EQ(count, 196) << "digit " << d;
  }
}

struct Edge {
  int first_row, last_row, right;
};
constexpr Edge kStyle2Edges[] = {{6, 12, 15}, {13, 15, 14}, {16, 17, 13}};

TEST(GlyphSet, Style2LeansRightwardFromTheBottom) {
  for (const Edge& e : kStyle2Edges)
    for (int r = e.first_row; r <= e.last_row; ++r) {
      int right = -1;
      for (int d = 0; d < kDigits; ++d)
        for (int c = 0; c < kGlyphSide; ++c)
          if (painted(2, d, r, c)) right = std::max(right, c);
      EXPECT_EQ(right, e.right) << "row " << r;
    }
}

struct GivenGlyph {
  int style;
  int digit;
  unsigned char cells[18 * 18];
};

// One line per glyph row.
// clang-format off
constexpr GivenGlyph kGiven[] = {
    {0, 0, {
        0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 1, 1, 2, 3, 4, 5, 1, 1, 0, 0, 0, 0,
        0, 0, 0, 0, 1, 1, 6, 7, 8, 9, 10, 11, 12, 13, 1, 1, 0, 0,
        0, 0, 0, 1, 1, 7, 7, 7, 7, 8, 9, 14, 15, 16, 17, 1, 1, 0,
        0, 0, 1, 1, 10, 7, 7, 7, 7, 7, 9, 18, 19, 20, 21, 22, 1, 0,
        0, 0, 1, 23, 7, 7, 7, 7, 7, 7, 9, 18, 19, 20, 21, 24, 1, 1,
        0, 0, 1, 20, 8, 7, 7, 7, 10, 25, 26, 14, 15, 16, 21, 27, 28, 1,
        0, 0, 1, 10, 9, 8, 7, 7, 29, 1, 1, 30, 12, 31, 32, 27, 33, 1,
        0, 0, 1, 14, 10, 9, 9, 9, 20, 1, 1, 34, 20, 35, 36, 37, 38, 1,
        0, 0, 1, 39, 11, 14, 18, 18, 14, 11, 15, 34, 31, 32, 27, 40, 41, 1,
        0, 0, 1, 23, 12, 15, 19, 19, 15, 12, 20, 31, 42, 24, 43, 44, 45, 1,
        0, 0, 1, 1, 31, 16, 20, 20, 16, 31, 35, 32, 24, 37, 46, 47, 1, 0,
        0, 0, 0, 1, 48, 21, 21, 21, 21, 32, 36, 27, 43, 46, 49, 1, 1, 0,
        0, 0, 0, 0, 1, 1, 24, 24, 27, 27, 37, 40, 44, 47, 1, 1, 0, 0,
        0, 0, 0, 0, 0, 1, 1, 50, 44, 46, 44, 38, 1, 1, 1, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    }},
    {3, 0, {
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 1, 2, 2, 2, 3, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 4, 5, 5, 5, 5, 6, 7, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 8, 5, 5, 6, 4, 5, 5, 9, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 2, 5, 5, 7, 0, 2, 5, 5, 7, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 2, 5, 5, 7, 0, 2, 5, 5, 7, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 2, 5, 5, 7, 0, 10, 5, 5, 7, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 11, 5, 5, 12, 0, 13, 5, 5, 14, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 14, 6, 5, 5, 6, 5, 5, 10, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 8, 6, 5, 5, 5, 13, 8, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 3, 7, 8, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    }},
};
// clang-format on

TEST(GlyphSet, TheLongStandingZerosAreKeptExactly) {
  for (const GivenGlyph& g : kGiven)
    for (int i = 0; i < image::kGlyphCells; ++i)
      EXPECT_EQ(cell(g.style, g.digit, i / kGlyphSide, i % kGlyphSide), g.cells[i])
          << "style " << g.style << " row " << i / kGlyphSide << " col " << i % kGlyphSide;
}

struct Lookup {
  int style;
  int block;
};
constexpr Lookup kLookups[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 3}, {255, 3}, {-1, 3}};

TEST(GlyphSet, StyleValuesOutsideZeroToTwoDrawWithStyle3) {
  for (const Lookup& l : kLookups)
    for (int d = 0; d < kDigits; ++d)
      EXPECT_EQ(glyph(l.style, d), image::glyph_set + image::kStyleBlock * l.block + image::kGlyphCells * d)
          << "style " << l.style << " digit " << d;
}

TEST(StylePalettes, BackgroundsAndTransparency) {
  for (int s = 0; s < kStyleCount; ++s) {
    EXPECT_TRUE(same(entry(s, 0), kPaletteFacts[s].background)) << "style " << s;
    EXPECT_EQ(style_palettes[s].transparent, kPaletteFacts[s].transparent) << "style " << s;
  }
}

TEST(StylePalettes, NoEntryRepeatsAnother) {
  for (int s = 0; s < kStyleCount; ++s)
    for (int i = 0; i < style_palettes[s].size; ++i)
      for (int j = i + 1; j < style_palettes[s].size; ++j)
        EXPECT_FALSE(same(entry(s, i), entry(s, j))) << "style " << s << " entries " << i << ", " << j;
}

struct Telling {
  int style;
  int entry;
  Rgb rgb;
};
constexpr Telling kTelling[] = {
    {0, 1, {0, 0, 0}},       {0, 7, {255, 247, 255}}, {0, 106, {16, 16, 24}}, {1, 31, {97, 69, 255}},
    {1, 8, {255, 248, 242}}, {2, 2, {0, 16, 90}},     {2, 1, {99, 107, 140}}, {2, 29, {8, 222, 231}},
    {3, 5, {255, 255, 255}}, {3, 14, {102, 98, 98}},
};

TEST(StylePalettes, TellingEntries) {
  for (const Telling& t : kTelling)
    EXPECT_TRUE(same(entry(t.style, t.entry), t.rgb)) << "style " << t.style << " entry " << t.entry;
}

constexpr Rgb kStyle3Palette[] = {
    {92, 88, 87},    {143, 140, 140}, {174, 172, 172}, {112, 109, 108}, {195, 193, 193}, {255, 255, 255},
    {247, 246, 246}, {133, 130, 129}, {123, 119, 119}, {226, 226, 225}, {216, 215, 215}, {154, 152, 151},
    {185, 183, 183}, {236, 236, 236}, {102, 98, 98},   {206, 205, 204}, {164, 162, 161},
};
static_assert(std::size(kStyle3Palette) == 17, "style 3 has 17 entries");

TEST(StylePalettes, Style3IsExactlyItsGreys) {
  for (int k = 0; k < 17; ++k) EXPECT_TRUE(same(entry(3, k), kStyle3Palette[k])) << "entry " << k;
}

enum class Role { kMostPainted, kLightest, kDarkest };

struct RoleCase {
  int style;
  int entry;
  Role role;
  int outranked_by;  // the one entry allowed to beat it, or 0
};
constexpr RoleCase kRoles[] = {
    {0, 1, Role::kMostPainted, 0},  {0, 7, Role::kLightest, 0},    {0, 106, Role::kDarkest, 1},
    {1, 31, Role::kMostPainted, 0}, {1, 31, Role::kDarkest, 0},    {1, 8, Role::kLightest, 0},
    {2, 2, Role::kMostPainted, 0},  {2, 1, Role::kMostPainted, 2}, {2, 2, Role::kDarkest, 0},
    {3, 5, Role::kMostPainted, 0},  {3, 5, Role::kLightest, 0},    {3, 14, Role::kDarkest, 0},
};

bool beats(const RoleCase& rc, int other, const std::array<int, 256>& counts) {
  const int s = rc.style;
  switch (rc.role) {
    case Role::kMostPainted:
      return counts[rc.entry] > counts[other];
    case Role::kLightest:
      return luma(entry(s, rc.entry)) > luma(entry(s, other));
    case Role::kDarkest:
      return luma(entry(s, rc.entry)) < luma(entry(s, other));
  }
  return false;
}

TEST(StylePalettes, TellingEntriesPlayTheirRoles) {
  for (const RoleCase& rc : kRoles) {
    const auto counts = code_counts(rc.style);
    for (int k = 1; k < style_palettes[rc.style].size; ++k)
      if (k != rc.entry && k != rc.outranked_by) {
        EXPECT_TRUE(beats(rc, k, counts))
            << "style " << rc.style << " entry " << rc.entry << " against " << k;
      }
  }
}

struct ColourRule {
  int style;
  bool blue_highest;
  int max_spread;  // between the components of one entry
};
constexpr ColourRule kColourRules[] = {{0, true, 41}, {2, true, 255}, {3, false, 4}};

TEST(StylePalettes, GlyphColoursKeepTheirStylesCast) {
  for (const ColourRule& rule : kColourRules)
    for (int k = 1; k < style_palettes[rule.style].size; ++k) {
      const Rgb& c = entry(rule.style, k);
      const int high = std::max({c.red, c.green, c.blue});
      const int low = std::min({c.red, c.green, c.blue});
      if (rule.blue_highest) {
        EXPECT_EQ(c.blue, high) << "style " << rule.style << " entry " << k;
      }
      EXPECT_LE(high - low, rule.max_spread) << "style " << rule.style << " entry " << k;
    }
}

struct CanvasDeleter {
  void operator()(gdImagePtr canvas) const { gdImageDestroy(canvas); }
};
using CanvasPtr = std::unique_ptr<gdImage, CanvasDeleter>;

struct StyleCase {
  int argc;
  const char* style_argument;
  int style;
};
constexpr StyleCase kStyleCases[] = {
    {3, "1", 1}, {3, "2", 2}, {3, "3", 3},  {3, "03", 0}, {3, "3 ", 0}, {3, "4", 0},
    {3, "", 0},  {3, "0", 0}, {3, "10", 0}, {2, "3", 0},  {4, "3", 0},  {4, "1", 0},
};

TEST(ApplyStyle, ChoosesTheStyleAndGivesTheCanvasItsPalette) {
  for (const StyleCase& sc : kStyleCases) {
    std::fill(std::begin(image::palette_slots), std::end(image::palette_slots), 0);
    char program[] = "lumicount.exe";
    char name[] = "hits";
    std::vector<char> style_argument(sc.style_argument,
                                     sc.style_argument + std::strlen(sc.style_argument) + 1);
    char extra[] = "x";
    char* argv[] = {program, name, style_argument.data(), extra, nullptr};
    const CanvasPtr owner(gdImageCreate(18, 18));
    ASSERT_NE(owner, nullptr);
    gdImagePtr canvas = owner.get();
    image::apply_style(canvas, sc.argc, argv);
    const int n = kPaletteFacts[sc.style].size;
    EXPECT_EQ(image::current_style, sc.style) << sc.argc << " \"" << sc.style_argument << "\"";
    EXPECT_EQ(gdImageColorsTotal(canvas), n) << "\"" << sc.style_argument << "\"";
    EXPECT_EQ(gdImageGetTransparent(canvas), kPaletteFacts[sc.style].transparent ? 0 : -1)
        << "\"" << sc.style_argument << "\"";
    for (int k = 0; k < image::kSlotCount; ++k)
      EXPECT_EQ(image::palette_slots[k], k < n ? k : 0) << "slot " << k;
    for (int k = 0; k < n; ++k) {
      const Rgb& c = entry(sc.style, k);
      EXPECT_EQ(gdImageRed(canvas, k), c.red);
      EXPECT_EQ(gdImageGreen(canvas, k), c.green);
      EXPECT_EQ(gdImageBlue(canvas, k), c.blue);
    }
  }
}

// A canvas with colours of its own or a clip box is drawn on as gd's own calls
// would: entries after its colours, pixels only inside the clip box (read
// straight from the rows: gdImageGetPixel answers 0 outside the clip box).
struct CanvasCase {
  const char* what;
  int colours_before;
  int clip[4];  // x1, y1, x2, y2
};
constexpr CanvasCase kCanvasCases[] = {
    {"two colours of its own", 2, {0, 0, 59, 17}},
    {"clip box cutting glyphs and rows", 0, {5, 3, 30, 12}},
};

TEST(DrawCount, KeepsTheCanvasColoursAndClipBox) {
  char program[] = "lumicount.exe", name[] = "hits";
  char* argv[] = {program, name, nullptr};
  const CanvasPtr whole(gdImageCreate(60, 18));
  image::apply_style(whole.get(), 2, argv);
  image::draw_count(whole.get(), 1234);
  for (const CanvasCase& cc : kCanvasCases) {
    const CanvasPtr canvas(gdImageCreate(60, 18));
    for (int k = 0; k < cc.colours_before; ++k) gdImageColorAllocate(canvas.get(), k, k, k);
    gdImageSetClip(canvas.get(), cc.clip[0], cc.clip[1], cc.clip[2], cc.clip[3]);
    image::apply_style(canvas.get(), 2, argv);
    image::draw_count(canvas.get(), 1234);
    EXPECT_EQ(gdImageColorsTotal(canvas.get()), 120 + cc.colours_before) << cc.what;
    for (int k = 0; k < 120; ++k)
      EXPECT_EQ(gdImageBlue(canvas.get(), cc.colours_before + k), entry(0, k).blue) << cc.what << " " << k;
    for (int y = 0; y < 18; ++y)
      for (int x = 0; x < 60; ++x) {
        const int drawn = gdImageGetPixel(whole.get(), x, y);
        const bool inside = x >= cc.clip[0] && x <= cc.clip[2] && y >= cc.clip[1] && y <= cc.clip[3];
        EXPECT_EQ(gdImagePalettePixel(canvas.get(), x, y), inside && drawn != 0 ? drawn + cc.colours_before : 0)
            << cc.what << " " << x << "," << y;
      }
  }
}

}  // namespace
