// The icon of the reminder window: a PNG image stored in the program and
// decoded when the window is built, with libpng (reminder_icon_png.cc) on
// POSIX and the Windows Imaging Component (reminder_icon_wic.cc) on Windows.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zefa {

struct GreyAlphaImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // rows top to bottom, a grey and an alpha byte per pixel
};

// The stored PNG file (48 by 48, 8-bit grey with alpha).
std::span<const uint8_t> BuiltInIconPng();

// Decodes any PNG into grey-with-alpha pixels. False (and an empty image)
// when the data is no PNG that the decoder can read.
bool DecodeGreyAlphaPng(std::span<const uint8_t> png, GreyAlphaImage& image);

}  // namespace zefa
