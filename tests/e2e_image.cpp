// The picture answer: canvas geometry, palettes and the glyphs' overlap.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/answers.h"
#include "harness/harness.h"

namespace {

struct ImageCase {
  const char* what;
  std::string stored;
  std::string style;  // empty: no style argument
  int count;
  int style_number;
  int colours;        // palette entries the style allocates
};

const std::vector<ImageCase> kImageCases = {
    {"count 0, style 0", "999999999", "", 0, 0, 120},
    {"nine digits", "999999998", "", 999999999, 0, 120},
    {"overlapping neighbours in style 0", "1233", "", 1234, 0, 120},
    {"every digit, style 1", "123456788", "1", 123456789, 1, 155},
    {"zero among digits, style 1", "907", "1", 908, 1, 155},
    {"style 2 overlaps its neighbours", "8642", "2", 8643, 2, 31},
    {"style 3 is opaque", "9075", "3", 9076, 3, 17},
};

TEST(Image, ComposedRightToLeft) {
  for (const ImageCase& c : kImageCases) {
    SCOPED_TRACE(c.what);
    const harness::InstallDir dir;
    dir.write("hits.ini", c.stored);
    std::vector<std::string> args = {"hits"};
    if (!c.style.empty()) args.push_back(c.style);
    const harness::Outcome outcome = dir.run({"", args, {"REMOTE_ADDR=192.0.2.7"}});
    ASSERT_TRUE(outcome.exited);
    EXPECT_EQ(harness::image_mismatch(outcome.out, c.count, c.style_number), "");
    const harness::Picture picture = harness::decode_gif(outcome.out.substr(25));
    ASSERT_TRUE(picture.ok);
    // The colour table is the smallest power of two that holds the palette.
    EXPECT_LT(static_cast<int>(picture.palette.size()), 2 * c.colours);
  }
}

// Three tiles of 14 x 14 that touch, framed by two unpainted pixels.
TEST(Image, Style1TilesTouchWithoutGap) {
  const harness::InstallDir dir;
  dir.write("hits.ini", "887");
  const harness::Outcome outcome = dir.run({"", {"hits", "1"}, {"REMOTE_ADDR=192.0.2.7"}});
  const harness::Picture picture = harness::decode_gif(outcome.out.substr(25));
  ASSERT_TRUE(picture.ok);
  ASSERT_EQ(picture.width, 46);
  int painted = 0;
  for (int y = 0; y < 18; ++y) {
    for (int x = 0; x < 46; ++x) {
      const bool inside = x >= 2 && x <= 43 && y >= 2 && y <= 15;
      EXPECT_EQ(picture.at(x, y) != 0, inside) << x << "," << y;
      painted += picture.at(x, y) != 0 ? 1 : 0;
    }
  }
  EXPECT_EQ(painted, 3 * 196);
}

}  // namespace
