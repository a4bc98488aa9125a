// libFuzzer target for Image_Load: the signature check, our BMP reader and the
// size limits in front of libpng and libjpeg-turbo.
//
// Input: any bytes. When they load, the bitmap-file form is written and must
// hold exactly 54 + 4 x width x height bytes; it is loaded again and must give
// the same size and pixels.
//
// Checked: no crash, leak or hang; the bitmap-file form reads back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/platform/image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 20) return 0;
  Image *image = nullptr;
  Image_Create(&image);
  if (Image_Load(image, data, int64_t(size))) {
    int32_t width = 0, height = 0;
    const uint8_t *form = nullptr;
    int64_t formSize = 0;
    if (!Image_GetSize(image, &width, &height) || width < 1 || height < 1 ||
        int64_t(width) > kImageMaxSide || int64_t(height) > kImageMaxSide)
      abort();
    if (!Image_GetBitmapFile(image, &form, &formSize) ||
        formSize != kImageBitmapFileHeaderBytes + int64_t(width) * height * 4)
      abort();
    // The round trip holds two more copies: only for pictures of up to 1 Mi pixels.
    if (int64_t(width) * height <= (1 << 20)) {
      Image *again = nullptr;
      Image_Create(&again);
      const uint8_t *formAgain = nullptr;
      int64_t sizeAgain = 0;
      if (!Image_Load(again, form, formSize) ||
          !Image_GetBitmapFile(again, &formAgain, &sizeAgain) || sizeAgain != formSize)
        abort();
      // A form whose alpha bytes are all 0 reads back opaque, as any
      // uncompressed 32-bit bitmap without alpha does.
      const uint8_t *a = form + kImageBitmapFileHeaderBytes;
      const uint8_t *b = formAgain + kImageBitmapFileHeaderBytes;
      int64_t bytes = formSize - kImageBitmapFileHeaderBytes;
      bool anyAlpha = false;
      for (int64_t i = 3; i < bytes && !anyAlpha; i += 4) anyAlpha = a[i] != 0;
      for (int64_t i = 0; i < bytes; i++)
        if (b[i] != (i % 4 == 3 && !anyAlpha ? 0xff : a[i])) abort();
      Image_Delete(&again);
    }
  }
  Image_Delete(&image);
  return 0;
}
