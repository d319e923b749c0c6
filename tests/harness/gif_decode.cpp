#include "harness/gif_decode.h"

#include <gif_lib.h>

#include <cstring>

namespace harness {

namespace {

struct Reader {
  const std::string* bytes;
  std::size_t pos;
};

int read_bytes(GifFileType* gif, GifByteType* out, int len) {
  auto* reader = static_cast<Reader*>(gif->UserData);
  const std::size_t left = reader->bytes->size() - reader->pos;
  const std::size_t n = left < static_cast<std::size_t>(len) ? left : static_cast<std::size_t>(len);
  std::memcpy(out, reader->bytes->data() + reader->pos, n);
  reader->pos += n;
  return static_cast<int>(n);
}

}  // namespace

Picture decode_gif(const std::string& bytes) {
  Picture picture;
  Reader reader{&bytes, 0};
  int error = 0;
  GifFileType* gif = DGifOpen(&reader, read_bytes, &error);
  if (gif == nullptr) return picture;
  if (DGifSlurp(gif) == GIF_OK && gif->ImageCount == 1) {
    const SavedImage& image = gif->SavedImages[0];
    const ColorMapObject* map = image.ImageDesc.ColorMap != nullptr ? image.ImageDesc.ColorMap : gif->SColorMap;
    picture.width = gif->SWidth;
    picture.height = gif->SHeight;
    for (int i = 0; map != nullptr && i < map->ColorCount; ++i) {
      picture.palette.push_back({map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue});
    }
    GraphicsControlBlock control{};
    if (DGifSavedExtensionToGCB(gif, 0, &control) == GIF_OK) picture.transparent = control.TransparentColor;
    const bool whole = image.ImageDesc.Left == 0 && image.ImageDesc.Top == 0 &&
                       image.ImageDesc.Width == picture.width && image.ImageDesc.Height == picture.height;
    if (whole && !image.ImageDesc.Interlace && map != nullptr) {
      picture.pixels.assign(image.RasterBits, image.RasterBits + picture.width * picture.height);
      picture.ok = true;
    }
  }
  DGifCloseFile(gif, &error);
  return picture;
}

}  // namespace harness
