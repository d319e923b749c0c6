// Decodes a GIF from standard input with giflib and prints
// "width height colour-table-size transparent-index" (-1: none); exit 1 if it does not decode.
#include <gif_lib.h>

#include <cstdio>
#include <vector>

namespace {

constexpr std::size_t kMaxInput = 1 << 20;

struct Input {
  std::vector<unsigned char> bytes;
  std::size_t pos = 0;
};

int read_input(GifFileType* gif, GifByteType* out, int len) {
  auto* in = static_cast<Input*>(gif->UserData);
  int n = 0;
  while (n < len && in->pos < in->bytes.size()) out[n++] = in->bytes[in->pos++];
  return n;
}

// Closes the decoder on every path out of main.
struct GifCloser {
  GifFileType* gif;
  ~GifCloser() {
    int error = 0;
    if (gif != nullptr) DGifCloseFile(gif, &error);
  }
};

// Every pixel must name an entry of the colour table it is drawn with.
bool pixels_in_table(const SavedImage& image, int colours) {
  const long count = static_cast<long>(image.ImageDesc.Width) * image.ImageDesc.Height;
  for (long i = 0; i < count; ++i) {
    if (image.RasterBits[i] >= colours) return false;
  }
  return true;
}

}  // namespace

int main() {
  Input in;
  int c = 0;
  while (in.bytes.size() < kMaxInput && (c = std::getchar()) != EOF) in.bytes.push_back(static_cast<unsigned char>(c));
  int error = 0;
  const GifCloser closer{DGifOpen(&in, read_input, &error)};
  GifFileType* gif = closer.gif;
  if (gif == nullptr || DGifSlurp(gif) != GIF_OK || gif->ImageCount != 1 || gif->SColorMap == nullptr) return 1;
  const SavedImage& image = gif->SavedImages[0];
  if (image.ImageDesc.Left != 0 || image.ImageDesc.Top != 0 || image.ImageDesc.Width != gif->SWidth ||
      image.ImageDesc.Height != gif->SHeight || image.ImageDesc.Interlace) {
    return 1;
  }
  const int colours = gif->SColorMap->ColorCount;
  if (!pixels_in_table(image, colours)) return 1;
  GraphicsControlBlock gcb{};
  gcb.TransparentColor = NO_TRANSPARENT_COLOR;
  if (image.ExtensionBlockCount > 0) DGifSavedExtensionToGCB(gif, 0, &gcb);
  std::printf("%d %d %d %d\n", gif->SWidth, gif->SHeight, colours, gcb.TransparentColor);
  return 0;
}
