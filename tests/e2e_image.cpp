// The picture answer: canvas geometry, palettes and the glyphs' overlap.
#include <gtest/gtest.h>

#include <cstdint>
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
  std::uint64_t gif;  // FNV-1a of the GIF bytes
};

// The GIF fingerprints are of the bytes gd 2.3.3 from Debian 12 writes (Debian's
// libgd3 natively, gd from Debian's libgd2 source in the Windows build).
const std::vector<ImageCase> kImageCases = {
    {"count 0, style 0", "999999999", "", 0, 0, 120, 0x334c987ff2239465},
    {"nine digits", "999999998", "", 999999999, 0, 120, 0xc5f2b10ee7aa129f},
    {"overlapping neighbours in style 0", "1233", "", 1234, 0, 120, 0x5c6b4e7df6f6d9d0},
    {"every digit, style 1", "123456788", "1", 123456789, 1, 155, 0x60c7e4b388c93062},
    {"zero among digits, style 1", "907", "1", 908, 1, 155, 0x0668e9df82714cc4},
    {"style 2 overlaps its neighbours", "8642", "2", 8643, 2, 31, 0x16c4f2f8e4c606b7},
    {"style 3 is opaque", "9075", "3", 9076, 3, 17, 0x579b0fd6aaaceb5c},
    {"every digit, style 0", "123456788", "", 123456789, 0, 120, 0x2c0754e147fab3dc},
    {"every digit, style 2", "123456788", "2", 123456789, 2, 31, 0x8e58ef48fd07767b},
    {"every digit, style 3", "123456788", "3", 123456789, 3, 17, 0x12930fefa12f4298},
    {"nine digits, style 3", "999999998", "3", 999999999, 3, 17, 0x98833f30ca4e1af4},
    {"one digit, style 2", "0", "2", 1, 2, 31, 0xc2045c2686bc4a15},
    {"two digits, style 3", "9", "3", 10, 3, 17, 0x71fe1b3bb1a093c9},
    {"style 4 draws style 0", "41", "4", 42, 0, 120, 0xf4e994c855b6c6ce},
    {"style 03 draws style 0", "41", "03", 42, 0, 120, 0xf4e994c855b6c6ce},
    {"descending digits, style 1", "987654319", "1", 987654320, 1, 155, 0xd2f5318b1bb7453b},
};

std::uint64_t fnv1a(const std::string& bytes) {
  std::uint64_t hash = 0xcbf29ce484222325;
  for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3;
  return hash;
}

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
    EXPECT_EQ(fnv1a(outcome.out.substr(25)), c.gif);
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
