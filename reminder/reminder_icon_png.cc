// The icon decoder of the POSIX build: libpng's simplified reading interface.

#include <png.h>

#include "reminder/reminder_icon.h"

namespace zefa {

bool DecodeGreyAlphaPng(std::span<const uint8_t> png, GreyAlphaImage& image) {
  image = GreyAlphaImage();
  png_image reader{};
  reader.version = PNG_IMAGE_VERSION;
  if (png.empty() || !png_image_begin_read_from_memory(&reader, png.data(), png.size())) {
    png_image_free(&reader);
    return false;
  }
  reader.format = PNG_FORMAT_GA;
  std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(reader));
  if (!png_image_finish_read(&reader, nullptr, pixels.data(), 0, nullptr)) {
    png_image_free(&reader);
    return false;
  }
  image.width = static_cast<int>(reader.width);
  image.height = static_cast<int>(reader.height);
  image.pixels = std::move(pixels);
  return true;
}

}  // namespace zefa
