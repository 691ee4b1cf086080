// The icon decoder of the Windows build: the Windows Imaging Component,
// converting whatever the PNG holds to 32-bit RGBA and reducing that to
// grey with alpha.

#include <objbase.h>
#include <wincodec.h>

#include "reminder/reminder_icon.h"

namespace zefa {

namespace {

template <typename T>
struct ComRef {
  T* p = nullptr;
  ComRef() = default;
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ~ComRef() {
    if (p != nullptr) p->Release();
  }
};

// COM for the calling thread for as long as the decoding takes.
struct ComScope {
  bool started = false;
  ComScope() {
    const HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    started = SUCCEEDED(result);  // S_FALSE too: balanced by CoUninitialize
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  ~ComScope() {
    if (started) CoUninitialize();
  }
};

bool DecodeRgba(std::span<const uint8_t> png, UINT& width, UINT& height,
                std::vector<uint8_t>& rgba) {
  ComRef<IWICImagingFactory> factory;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IWICImagingFactory, reinterpret_cast<void**>(&factory.p))))
    return false;
  ComRef<IWICStream> stream;
  if (FAILED(factory.p->CreateStream(&stream.p))) return false;
  if (FAILED(stream.p->InitializeFromMemory(const_cast<BYTE*>(png.data()),
                                            static_cast<DWORD>(png.size()))))
    return false;
  ComRef<IWICBitmapDecoder> decoder;
  if (FAILED(factory.p->CreateDecoderFromStream(stream.p, &GUID_ContainerFormatPng,
                                                WICDecodeMetadataCacheOnDemand, &decoder.p)))
    return false;
  ComRef<IWICBitmapFrameDecode> frame;
  if (FAILED(decoder.p->GetFrame(0, &frame.p))) return false;
  ComRef<IWICFormatConverter> converter;
  if (FAILED(factory.p->CreateFormatConverter(&converter.p))) return false;
  if (FAILED(converter.p->Initialize(frame.p, GUID_WICPixelFormat32bppRGBA, WICBitmapDitherTypeNone,
                                     nullptr, 0.0, WICBitmapPaletteTypeCustom)))
    return false;
  if (FAILED(converter.p->GetSize(&width, &height)) || width == 0 || height == 0 || width > 4096 ||
      height > 4096)
    return false;
  rgba.assign(static_cast<size_t>(width) * height * 4, 0);
  return SUCCEEDED(
      converter.p->CopyPixels(nullptr, width * 4, static_cast<UINT>(rgba.size()), rgba.data()));
}

}  // namespace

bool DecodeGreyAlphaPng(std::span<const uint8_t> png, GreyAlphaImage& image) {
  image = GreyAlphaImage();
  if (png.empty()) return false;
  ComScope com;
  UINT width = 0, height = 0;
  std::vector<uint8_t> rgba;
  if (!DecodeRgba(png, width, height, rgba)) return false;
  image.width = static_cast<int>(width);
  image.height = static_cast<int>(height);
  image.pixels.resize(static_cast<size_t>(width) * height * 2);
  for (size_t i = 0, o = 0; i < rgba.size(); i += 4, o += 2) {
    // Luma weights; for a grey source the three channels are equal anyway.
    image.pixels[o] =
        static_cast<uint8_t>((rgba[i] * 299 + rgba[i + 1] * 587 + rgba[i + 2] * 114) / 1000);
    image.pixels[o + 1] = rgba[i + 3];
  }
  return true;
}

}  // namespace zefa
