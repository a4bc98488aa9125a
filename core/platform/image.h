// Image: an object that owns an encoded picture (a copy of the caller's
// bytes) and its decoded 32-bit ARGB bitmap, hands the bitmap out as an
// uncompressed bitmap file in memory, and saves a window bitmap as PNG, JPEG
// or BMP. PNG goes through libpng, JPEG through libjpeg-turbo; BMP (24 and 32
// bits, uncompressed or with bit fields, either row order) is read here.
//
// Invariants: (1) a decoded bitmap is at most kImageMaxSide pixels on a side
// and kImageMaxPixels in all; a picture that declares more is refused before
// any pixel memory is taken. (2) pixels are 32-bit words 0xAARRGGBB, rows top
// first, no padding (stride = 4 x width). (3) the encoded copy, the bitmap
// and the bitmap-file stream live until Unload / Delete.
//
// Threads: one thread at a time per image (the window thread); different
// images may be used on different threads.
#pragma once

#include <cstdint>

constexpr uint32_t kImageTag = 0xa6df35fa;
constexpr int32_t kImageMaxSide = 32768;
constexpr int64_t kImageMaxPixels = int64_t(64) << 20;
// The bitmap-file form: a 14-byte file header and a 40-byte info header.
constexpr int32_t kImageBitmapFileHeaderBytes = 54;

struct Image;

// A window-system bitmap handed to Image_SaveBitmap: stride bytes a row, rows
// top first, each pixel a 32-bit ARGB word.
struct ImageBitmap {
  int32_t width;
  int32_t height;
  int32_t stride;
  const uint32_t *pixels;
};

// Every operation stops the program with "Pointer is NULL\n" on a NULL
// object or required pointer and with "Class mismatch pointer (...)" on an
// object that is not an image.

// A new image without data. Returns 1.
int Image_Create(Image **image);
// Unloads whatever the image held, keeps a copy of the size bytes of data
// and decodes them. 0 (the image left empty, one log line) for a format that
// is not PNG, JPEG or BMP ("Unsupported image format"), a picture over the
// limits, or a truncated or corrupt file.
int Image_Load(Image *image, const void *data, int64_t size);
// The bitmap-file form of the decoded bitmap (54-byte header, then the
// pixels, top row first, so the header's height is minus the height). *data
// points into the image's stream and stays valid until the next call on the
// image. 0 (data NULL, size 0) without a decoded bitmap.
int Image_GetBitmapFile(Image *image, const uint8_t **data, int64_t *size);
// The decoded bitmap's size. 0 (both 0) without one.
int Image_GetSize(Image *image, int32_t *width, int32_t *height);
// Drops the decoded bitmap; the encoded copy stays. Returns 1.
int Image_DisposeBitmap(Image *image);
// Drops the bitmap and the encoded copy. Returns 1.
int Image_Unload(Image *image);
// Unloads, frees the image and clears *image. Returns 1.
int Image_Delete(Image **image);

// Encodes bitmap as mimeType ("image/png", "image/jpeg" or "image/bmp") into
// the file at path (created or replaced). 0 with a DEBUG line for another
// type ("Unable to find encoder for mime type (%s)\n"), a bitmap whose sizes
// are out of range, or a file that cannot be written ("Failed to save image
// (%s) (%d:%d)\n").
int Image_SaveBitmap(const ImageBitmap *bitmap, const char *path, const char *mimeType);
