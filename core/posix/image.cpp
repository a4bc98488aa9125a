// Image on Linux: libpng and libjpeg-turbo decode and encode, BMP is read and
// written here; see core/platform/image.h.
#include "core/platform/image.h"

// clang-format off
#include <cstdio>   // jpeglib.h needs FILE and size_t first
#include <csetjmp>
#include <jpeglib.h>
#include <jerror.h>  // after jpeglib.h
#include <png.h>
// clang-format on

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "core/runtime/class.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/memstream.h"

struct Image {
  ObjectHeader header;
  uint8_t *encoded;  // the caller's bytes, copied; encodedSize of them
  int64_t encodedSize;
  uint32_t *pixels;  // width x height ARGB words, top row first; NULL: none
  int32_t width;
  int32_t height;
  MemoryStream *bitmapFile;  // the bitmap-file form, built on demand
};

namespace {

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr int kJpegQuality = 90;
// A progressive JPEG may carry any number of scans; each one is a pass over
// the whole coefficient buffer. Real files have a dozen.
constexpr int kJpegMaxScans = 500;
// What libpng may allocate: for the data of one chunk other than IDAT (whose
// bound follows from the picture's size), and for all its own memory
// together (ancillary chunks it keeps, such as text, its row buffers at up to
// 256 KiB each, zlib's state). The pixels are ours and not counted. A chunk's
// length field may claim 2 GiB in a file of a few hundred bytes.
constexpr size_t kPngChunkMaxBytes = size_t(4) << 20;
constexpr size_t kPngLibraryMaxBytes = size_t(8) << 20;
static_assert(kPngChunkMaxBytes == 4 << 20 && kPngLibraryMaxBytes == 8 << 20,
              "pngCheckBudget's words name both bounds");
constexpr uint32_t kBmpBitFields = 3;
constexpr int32_t kBmpInfoHeaderBytes = 40;
constexpr int32_t kBmpV4HeaderBytes = 108;

// The decoded picture a decoder hands back.
struct ImagePixels {
  uint32_t *pixels;
  int32_t width;
  int32_t height;
};

uint16_t imageGet16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t imageGet32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void imagePut16(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void imagePut32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}

// The limits every decoder checks before it takes pixel memory.
bool imageFits(int64_t width, int64_t height) {
  return width > 0 && height > 0 && width <= kImageMaxSide && height <= kImageMaxSide &&
         width * height <= kImageMaxPixels;
}

int imageRefuseSize(int64_t width, int64_t height) {
  Log_Print(LOG_WARNING, KSRC, 0, "Image too large or empty (%lld x %lld)\n",
            static_cast<long long>(width), static_cast<long long>(height));
  return 0;
}

uint32_t *imageAllocPixels(int32_t width, int32_t height) {
  return static_cast<uint32_t *>(MEM_ALLOC(int64_t(width) * height * 4, 0));
}

void imageFreePixels(uint32_t *pixels, int32_t width, int32_t height) {
  if (pixels) MEM_FREE(pixels, int64_t(width) * height * 4);
}

// ---- PNG ------------------------------------------------------------------------------------

struct PngSource {
  const uint8_t *data;
  int64_t size;
  int64_t at;
};

// libpng's own memory, counted against kPngLibraryMaxBytes; no block is
// larger than kPngChunkMaxBytes (a row buffer takes at most 256 KiB, so a
// larger one holds a chunk's data). Each block carries its size in front of it.
struct PngBudget {
  size_t used;
  bool refused;  // an allocation was refused: the decode fails at the next read
};
constexpr size_t kPngBlockHeader = alignof(std::max_align_t);

png_voidp pngAlloc(png_structp png, png_alloc_size_t size) {
  auto *budget = static_cast<PngBudget *>(png_get_mem_ptr(png));
  if (size > kPngChunkMaxBytes || size > kPngLibraryMaxBytes - budget->used) {
    budget->refused = true;
    return nullptr;
  }
  auto *block = static_cast<uint8_t *>(malloc(size + kPngBlockHeader));
  if (block == nullptr) return nullptr;
  memcpy(block, &size, sizeof size);
  budget->used += size;
  return block + kPngBlockHeader;
}

void pngFree(png_structp png, png_voidp memory) {
  if (memory == nullptr) return;
  auto *budget = static_cast<PngBudget *>(png_get_mem_ptr(png));
  uint8_t *block = static_cast<uint8_t *>(memory) - kPngBlockHeader;
  size_t size = 0;
  memcpy(&size, block, sizeof size);
  budget->used -= size;
  free(block);
}

void pngError(png_structp png, png_const_charp message) {
  Log_Print(LOG_WARNING, KSRC, 0, "PNG decode failed (%s)\n", message);
  png_longjmp(png, 1);
}

// A chunk libpng could not keep (for an ancillary one it only warns, and
// goes on) fails the decode.
void pngCheckBudget(png_structp png) {
  if (static_cast<PngBudget *>(png_get_mem_ptr(png))->refused)
    png_error(png, "chunk data over what libpng may use: 4 MiB for one chunk, 8 MiB in all");
}

void pngWarning(png_structp, png_const_charp) {}

void pngRead(png_structp png, png_bytep out, size_t count) {
  pngCheckBudget(png);
  auto *source = static_cast<PngSource *>(png_get_io_ptr(png));
  if (int64_t(count) > source->size - source->at) png_error(png, "truncated");
  memcpy(out, source->data + source->at, count);
  source->at += int64_t(count);
}

// No object with a destructor lives in this frame: libpng leaves it by
// longjmp. What the error path frees is volatile.
int imageDecodePng(const uint8_t *data, int64_t size, ImagePixels *out) {
  PngBudget budget = {0, false};
  png_structp png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning,
                                             &budget, pngAlloc, pngFree);
  if (png == nullptr) return 0;
  png_infop info = png_create_info_struct(png);
  PngSource source = {data, size, 0};
  uint32_t *volatile pixels = nullptr;
  png_bytep *volatile rows = nullptr;
  volatile int32_t width = 0, height = 0;
  if (setjmp(png_jmpbuf(png))) {
    if (rows) MEM_FREE(rows, int64_t(height) * int64_t(sizeof(png_bytep)));
    imageFreePixels(pixels, width, height);
    png_destroy_read_struct(&png, &info, nullptr);
    return 0;
  }
  png_set_read_fn(png, &source, pngRead);
  png_set_user_limits(png, kImageMaxSide, kImageMaxSide);
  png_set_chunk_malloc_max(png, kPngChunkMaxBytes);
  png_read_info(png, info);
  pngCheckBudget(png);
  uint32_t w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  if (!imageFits(w, h)) {
    png_destroy_read_struct(&png, &info, nullptr);
    return imageRefuseSize(w, h);
  }
  png_set_expand(png);  // palette and low-depth grey to 8 bits, tRNS to alpha
  png_set_scale_16(png);
  png_set_gray_to_rgb(png);
  png_set_bgr(png);
  png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != size_t(w) * 4) png_error(png, "unexpected row size");
  width = int32_t(w);
  height = int32_t(h);
  pixels = imageAllocPixels(width, height);
  rows = static_cast<png_bytep *>(MEM_ALLOC(int64_t(height) * int64_t(sizeof(png_bytep)), 0));
  for (int32_t y = 0; y < height; y++)
    rows[y] = reinterpret_cast<png_bytep>(pixels + int64_t(y) * w);
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  pngCheckBudget(png);
  MEM_FREE(rows, int64_t(height) * int64_t(sizeof(png_bytep)));
  png_destroy_read_struct(&png, &info, nullptr);
  *out = {pixels, width, height};
  return 1;
}

void pngWrite(png_structp png, png_bytep data, size_t count) {
  auto *stream = static_cast<MemoryStream *>(png_get_io_ptr(png));
  int32_t written = 0;
  if (count > size_t(INT32_MAX) || !MemoryStream_Write(stream, data, int32_t(count), &written) ||
      written != int32_t(count))
    png_error(png, "out of room");
}

void pngFlush(png_structp) {}

int imageEncodePng(const ImageBitmap *bitmap, MemoryStream *stream) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return 0;
  }
  png_set_write_fn(png, stream, pngWrite, pngFlush);
  png_set_IHDR(png, info, uint32_t(bitmap->width), uint32_t(bitmap->height), 8,
               PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_set_bgr(png);
  const uint8_t *base = reinterpret_cast<const uint8_t *>(bitmap->pixels);
  for (int32_t y = 0; y < bitmap->height; y++)
    png_write_row(png, base + int64_t(y) * bitmap->stride);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return 1;
}

// ---- JPEG -----------------------------------------------------------------------------------

struct JpegError {
  jpeg_error_mgr manager;
  jmp_buf jump;
};

[[noreturn]] void jpegExit(j_common_ptr cinfo) {
  char text[JMSG_LENGTH_MAX];
  cinfo->err->format_message(cinfo, text);
  Log_Print(LOG_WARNING, KSRC, 0, "JPEG failed (%s)\n", text);
  longjmp(reinterpret_cast<JpegError *>(cinfo->err)->jump, 1);
}

// A warning while reading means damaged data (a truncated file is padded
// with grey by the library): the picture is refused, not shown half grey.
void jpegMessage(j_common_ptr cinfo, int level) {
  if (level < 0) jpegExit(cinfo);
}

void jpegProgress(j_common_ptr cinfo) {
  if (cinfo->is_decompressor &&
      reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kJpegMaxScans) {
    cinfo->err->msg_code = JERR_BAD_SCAN_SCRIPT;
    jpegExit(cinfo);
  }
}

void jpegErrorSetUp(JpegError *error) {
  jpeg_std_error(&error->manager);
  error->manager.error_exit = jpegExit;
  error->manager.emit_message = jpegMessage;
}

int imageDecodeJpeg(const uint8_t *data, int64_t size, ImagePixels *out) {
  jpeg_decompress_struct cinfo;
  JpegError error;
  jpeg_progress_mgr progress = {};
  uint32_t *volatile pixels = nullptr;
  volatile int32_t width = 0, height = 0;
  cinfo.err = &error.manager;
  jpegErrorSetUp(&error);
  if (setjmp(error.jump)) {
    imageFreePixels(pixels, width, height);
    jpeg_destroy_decompress(&cinfo);
    return 0;
  }
  jpeg_create_decompress(&cinfo);
  progress.progress_monitor = jpegProgress;
  cinfo.progress = &progress;
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&cinfo, TRUE);
  if (!imageFits(cinfo.image_width, cinfo.image_height)) {
    int64_t w = cinfo.image_width, h = cinfo.image_height;
    jpeg_destroy_decompress(&cinfo);
    return imageRefuseSize(w, h);
  }
  cinfo.out_color_space = JCS_EXT_BGRA;
  jpeg_start_decompress(&cinfo);
  width = int32_t(cinfo.output_width);
  height = int32_t(cinfo.output_height);
  pixels = imageAllocPixels(width, height);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = reinterpret_cast<JSAMPROW>(pixels + int64_t(cinfo.output_scanline) * width);
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  *out = {pixels, width, height};
  return 1;
}

// The compressor's output goes to a MemoryStream through one 4 KiB window.
struct JpegDestination {
  jpeg_destination_mgr manager;
  MemoryStream *stream;
  JOCTET buffer[4096];
};

void jpegFlushWindow(j_compress_ptr cinfo, size_t count) {
  auto *destination = reinterpret_cast<JpegDestination *>(cinfo->dest);
  int32_t written = 0;
  if (!MemoryStream_Write(destination->stream, destination->buffer, int32_t(count), &written) ||
      written != int32_t(count)) {
    cinfo->err->msg_code = JERR_FILE_WRITE;
    jpegExit(reinterpret_cast<j_common_ptr>(cinfo));
  }
  destination->manager.next_output_byte = destination->buffer;
  destination->manager.free_in_buffer = sizeof destination->buffer;
}

void jpegInitDestination(j_compress_ptr cinfo) {
  auto *destination = reinterpret_cast<JpegDestination *>(cinfo->dest);
  destination->manager.next_output_byte = destination->buffer;
  destination->manager.free_in_buffer = sizeof destination->buffer;
}

boolean jpegEmptyBuffer(j_compress_ptr cinfo) {
  jpegFlushWindow(cinfo, sizeof(JpegDestination::buffer));
  return TRUE;
}

void jpegTermDestination(j_compress_ptr cinfo) {
  auto *destination = reinterpret_cast<JpegDestination *>(cinfo->dest);
  jpegFlushWindow(cinfo, sizeof destination->buffer - destination->manager.free_in_buffer);
}

int imageEncodeJpeg(const ImageBitmap *bitmap, MemoryStream *stream) {
  jpeg_compress_struct cinfo;
  JpegError error;
  JpegDestination destination;
  cinfo.err = &error.manager;
  jpegErrorSetUp(&error);
  if (setjmp(error.jump)) {
    jpeg_destroy_compress(&cinfo);
    return 0;
  }
  jpeg_create_compress(&cinfo);
  destination.manager.init_destination = jpegInitDestination;
  destination.manager.empty_output_buffer = jpegEmptyBuffer;
  destination.manager.term_destination = jpegTermDestination;
  destination.stream = stream;
  cinfo.dest = &destination.manager;
  cinfo.image_width = JDIMENSION(bitmap->width);
  cinfo.image_height = JDIMENSION(bitmap->height);
  cinfo.input_components = 4;
  cinfo.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, kJpegQuality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  const uint8_t *base = reinterpret_cast<const uint8_t *>(bitmap->pixels);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(base + int64_t(cinfo.next_scanline) * bitmap->stride);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return 1;
}

// ---- BMP ------------------------------------------------------------------------------------

// One colour channel of a bit-field pixel: where it sits and how wide it is.
struct BmpChannel {
  uint32_t mask;
  int shift;
  int bits;
};

// 0 for a mask whose bits do not form one run.
int bmpChannel(uint32_t mask, BmpChannel *out) {
  *out = {mask, 0, 0};
  if (mask == 0) return 1;
  out->shift = __builtin_ctz(mask);
  uint32_t run = mask >> out->shift;
  out->bits = __builtin_popcount(run);
  return (run & (run + 1)) == 0;
}

uint32_t bmpSample(uint32_t pixel, const BmpChannel &c, uint32_t absent) {
  if (c.mask == 0) return absent;
  uint32_t v = (pixel & c.mask) >> c.shift;
  if (c.bits >= 8) return v >> (c.bits - 8);
  uint32_t most = (1u << c.bits) - 1;
  return (v * 255 + most / 2) / most;
}

int imageUnsupported(void) {
  Log_Print(LOG_WARNING, KSRC, 0, "Unsupported image format\n");
  return 0;
}

int bmpCorrupt(const char *what) {
  Log_Print(LOG_WARNING, KSRC, 0, "BMP decode failed (%s)\n", what);
  return 0;
}

int imageDecodeBmp(const uint8_t *data, int64_t size, ImagePixels *out) {
  if (size < 14 + 4) return bmpCorrupt("truncated header");
  uint32_t pixelOffset = imageGet32(data + 10);
  uint32_t headerBytes = imageGet32(data + 14);
  if (headerBytes != 40 && headerBytes != 52 && headerBytes != 56 && headerBytes != 108 &&
      headerBytes != 124)
    return imageUnsupported();
  if (14 + int64_t(headerBytes) > size) return bmpCorrupt("truncated header");
  const uint8_t *info = data + 14;
  int64_t width = int32_t(imageGet32(info + 4));
  int64_t height = int32_t(imageGet32(info + 8));
  uint32_t bits = imageGet16(info + 14);
  uint32_t compression = imageGet32(info + 16);
  if (imageGet16(info + 12) != 1) return bmpCorrupt("planes");
  bool fields = compression == kBmpBitFields;
  if (!(bits == 24 && compression == 0) && !(bits == 32 && (compression == 0 || fields)))
    return imageUnsupported();
  bool topDown = height < 0;
  if (topDown) height = -height;
  if (!imageFits(width, height)) return imageRefuseSize(width, height);

  // BI_RGB: 8 bits each of blue, green and red, and at 32 bits a fourth byte
  // that writers fill with alpha or leave 0: all 0 reads as opaque.
  BmpChannel red, green, blue, alpha;
  bmpChannel(0x00ff0000, &red);
  bmpChannel(0x0000ff00, &green);
  bmpChannel(0x000000ff, &blue);
  bmpChannel(bits == 32 ? 0xff000000 : 0, &alpha);
  if (fields) {
    // The masks follow a 40-byte header, and are its next fields in the
    // longer ones; only those give an alpha mask.
    int64_t maskEnd = 14 + 40 + (headerBytes >= 56 ? 16 : 12);
    if (maskEnd > size) return bmpCorrupt("truncated masks");
    const uint8_t *masks = data + 14 + 40;
    if (!bmpChannel(imageGet32(masks), &red) || !bmpChannel(imageGet32(masks + 4), &green) ||
        !bmpChannel(imageGet32(masks + 8), &blue) ||
        !bmpChannel(headerBytes >= 56 ? imageGet32(masks + 12) : 0, &alpha))
      return bmpCorrupt("masks");
  }
  int64_t stride = (int64_t(bits) * width + 31) / 32 * 4;
  if (pixelOffset < 14 + headerBytes || int64_t(pixelOffset) + stride * height > size)
    return bmpCorrupt("truncated pixels");

  int32_t w = int32_t(width), h = int32_t(height);
  uint32_t *pixels = imageAllocPixels(w, h);
  uint32_t alphaSeen = 0;
  for (int32_t y = 0; y < h; y++) {
    const uint8_t *row = data + pixelOffset + stride * (topDown ? y : h - 1 - y);
    uint32_t *target = pixels + int64_t(y) * w;
    for (int32_t x = 0; x < w; x++) {
      uint32_t p = bits == 24 ? uint32_t(row[3 * x]) | uint32_t(row[3 * x + 1]) << 8 |
                                    uint32_t(row[3 * x + 2]) << 16
                              : imageGet32(row + 4 * x);
      target[x] = bmpSample(p, alpha, 0xff) << 24 | bmpSample(p, red, 0) << 16 |
                  bmpSample(p, green, 0) << 8 | bmpSample(p, blue, 0);
      alphaSeen |= target[x];
    }
  }
  if (!fields && (alphaSeen >> 24) == 0)
    for (int64_t i = 0; i < int64_t(w) * h; i++) pixels[i] |= 0xff000000u;
  *out = {pixels, w, h};
  return 1;
}

// The 14-byte file header and the 40-byte info header of a 32-bit top-down
// bitmap (height -height). fileSize and the compression are the caller's.
void bmpWriteHeaders(uint8_t *p, int32_t width, int32_t height, uint32_t fileSize,
                     int32_t infoBytes, uint32_t compression) {
  memset(p, 0, 14 + size_t(infoBytes));
  p[0] = 'B';
  p[1] = 'M';
  imagePut32(p + 2, fileSize);
  imagePut32(p + 10, uint32_t(14 + infoBytes));
  imagePut32(p + 14, uint32_t(infoBytes));
  imagePut32(p + 18, uint32_t(width));
  imagePut32(p + 22, uint32_t(-height));
  imagePut16(p + 26, 1);
  imagePut16(p + 28, 32);
  imagePut32(p + 30, compression);
}

// A saved BMP keeps its alpha: a version 4 header with bit fields.
int imageEncodeBmp(const ImageBitmap *bitmap, MemoryStream *stream) {
  int64_t pixelBytes = int64_t(bitmap->width) * 4 * bitmap->height;
  int64_t total = 14 + kBmpV4HeaderBytes + pixelBytes;
  if (total > INT32_MAX) return 0;
  uint8_t header[14 + kBmpV4HeaderBytes];
  bmpWriteHeaders(header, bitmap->width, bitmap->height, uint32_t(total), kBmpV4HeaderBytes,
                  kBmpBitFields);
  imagePut32(header + 14 + 20, uint32_t(pixelBytes));
  imagePut32(header + 54, 0x00ff0000);
  imagePut32(header + 58, 0x0000ff00);
  imagePut32(header + 62, 0x000000ff);
  imagePut32(header + 66, 0xff000000);
  imagePut32(header + 70, 0x73524742);  // 'sRGB'
  int32_t written = 0;
  if (!MemoryStream_Write(stream, header, int32_t(sizeof header), &written)) return 0;
  const uint8_t *base = reinterpret_cast<const uint8_t *>(bitmap->pixels);
  for (int32_t y = 0; y < bitmap->height; y++)
    if (!MemoryStream_Write(stream, base + int64_t(y) * bitmap->stride, bitmap->width * 4,
                            &written) ||
        written != bitmap->width * 4)
      return 0;
  return 1;
}

// ---- Encoders by MIME type ------------------------------------------------------------------

struct ImageEncoder {
  const char *mimeType;
  int (*encode)(const ImageBitmap *bitmap, MemoryStream *stream);
};

constexpr ImageEncoder kImageEncoders[] = {
    {"image/bmp", imageEncodeBmp},
    {"image/jpeg", imageEncodeJpeg},
    {"image/png", imageEncodePng},
};

int imageWriteFile(const char *path, MemoryStream *stream) {
  uint8_t *bytes = nullptr;
  int32_t length = MemoryStream_GetLength(stream);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = errno;
  int ok = fd >= 0 && MemoryStream_GetBuffer(stream, 0, &bytes);
  for (int32_t done = 0; ok && done < length;) {
    ssize_t n = write(fd, bytes + done, size_t(length - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
      ok = 0;
    } else {
      done += int32_t(n);
    }
  }
  if (bytes) MemoryStream_ReleaseBuffer(stream, &bytes);
  if (fd >= 0 && close(fd) != 0 && ok) {
    err = errno;
    ok = 0;
  }
  if (!ok) Log_Print(LOG_DEBUG, KSRC, 0, "Failed to save image (%s) (%d:%d)\n", path, 1, err);
  return ok;
}

void imageDestroy(void **object) { Image_Delete(reinterpret_cast<Image **>(object)); }

}  // namespace

// ---- Public ---------------------------------------------------------------------------------

int Image_Create(Image **image) {
  CHECK_POINTER(image);
  *image = nullptr;
  auto *created = static_cast<Image *>(MEM_ALLOC(sizeof(Image), MEM_ZEROED));
  created->header.classTag = kImageTag;
  created->header.refCount.store(1);
  created->header.destroy = imageDestroy;
  MemoryStream_Create(&created->bitmapFile);
  *image = created;
  return 1;
}

int Image_Load(Image *image, const void *data, int64_t size) {
  CLASS_CHECK(image, kImageTag);
  CHECK_POINTER(data);
  Image_Unload(image);
  if (size <= 0) return imageUnsupported();
  image->encoded = static_cast<uint8_t *>(MEM_ALLOC(size, 0));
  memcpy(image->encoded, data, size_t(size));
  image->encodedSize = size;

  const uint8_t *bytes = image->encoded;
  ImagePixels decoded = {};
  int ok;
  if (size >= 8 && memcmp(bytes, kPngSignature, 8) == 0)
    ok = imageDecodePng(bytes, size, &decoded);
  else if (size >= 3 && bytes[0] == 0xff && bytes[1] == 0xd8 && bytes[2] == 0xff)
    ok = imageDecodeJpeg(bytes, size, &decoded);
  else if (size >= 2 && bytes[0] == 'B' && bytes[1] == 'M')
    ok = imageDecodeBmp(bytes, size, &decoded);
  else
    ok = imageUnsupported();
  if (!ok) {
    Image_Unload(image);
    return 0;
  }
  image->pixels = decoded.pixels;
  image->width = decoded.width;
  image->height = decoded.height;
  return 1;
}

int Image_GetBitmapFile(Image *image, const uint8_t **data, int64_t *size) {
  CLASS_CHECK(image, kImageTag);
  CHECK_POINTER(data);
  CHECK_POINTER(size);
  *data = nullptr;
  *size = 0;
  if (image->pixels == nullptr) return 0;
  int64_t pixelBytes = int64_t(image->width) * 4 * image->height;
  int64_t total = kImageBitmapFileHeaderBytes + pixelBytes;
  MemoryStream *stream = image->bitmapFile;
  if (!MemoryStream_Resize(stream, int32_t(total), 0)) return 0;
  uint8_t header[kImageBitmapFileHeaderBytes];
  // The rows go top first, so the height is written negative: every reader
  // then shows the picture upright. The file size field stays 0.
  bmpWriteHeaders(header, image->width, image->height, 0, kBmpInfoHeaderBytes, 0);
  int32_t written = 0;
  uint8_t *bytes = nullptr;
  if (!MemoryStream_Write(stream, header, int32_t(sizeof header), &written) ||
      !MemoryStream_Write(stream, image->pixels, int32_t(pixelBytes), &written) ||
      MemoryStream_GetLength(stream) != total || !MemoryStream_GetBuffer(stream, 0, &bytes))
    return 0;
  *data = bytes;
  *size = total;
  MemoryStream_ReleaseBuffer(stream, &bytes);
  return 1;
}

int Image_GetSize(Image *image, int32_t *width, int32_t *height) {
  CLASS_CHECK(image, kImageTag);
  CHECK_POINTER(width);
  CHECK_POINTER(height);
  *width = image->pixels ? image->width : 0;
  *height = image->pixels ? image->height : 0;
  return image->pixels != nullptr;
}

int Image_DisposeBitmap(Image *image) {
  CLASS_CHECK(image, kImageTag);
  imageFreePixels(image->pixels, image->width, image->height);
  image->pixels = nullptr;
  image->width = image->height = 0;
  MemoryStream_Resize(image->bitmapFile, 0, 0);
  return 1;
}

int Image_Unload(Image *image) {
  CLASS_CHECK(image, kImageTag);
  Image_DisposeBitmap(image);
  if (image->encoded) MEM_FREE(image->encoded, image->encodedSize);
  image->encoded = nullptr;
  image->encodedSize = 0;
  return 1;
}

int Image_Delete(Image **image) {
  CHECK_POINTER(image);
  Image *dying = *image;
  CLASS_CHECK(dying, kImageTag);
  *image = nullptr;
  Image_Unload(dying);
  MemoryStream_Release(&dying->bitmapFile);
  dying->header.classTag = 0;
  MEM_FREE(dying, sizeof(Image));
  return 1;
}

int Image_SaveBitmap(const ImageBitmap *bitmap, const char *path, const char *mimeType) {
  CHECK_POINTER(bitmap);
  CHECK_POINTER(path);
  CHECK_POINTER(mimeType);
  CHECK_POINTER(bitmap->pixels);
  const ImageEncoder *encoder = nullptr;
  for (const ImageEncoder &e : kImageEncoders)
    if (strcmp(e.mimeType, mimeType) == 0) encoder = &e;
  if (encoder == nullptr) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Unable to find encoder for mime type (%s)\n", mimeType);
    return 0;
  }
  if (!imageFits(bitmap->width, bitmap->height) || bitmap->stride < bitmap->width * 4) {
    Log_Print(LOG_DEBUG, KSRC, 0, "Failed to save image (%s) (%d:%d)\n", path, 2, 0);
    return 0;
  }
  MemoryStream *stream = nullptr;
  MemoryStream_Create(&stream);
  MemoryStream_EnableGrowth(stream);
  int ok = encoder->encode(bitmap, stream);
  if (!ok) Log_Print(LOG_DEBUG, KSRC, 0, "Failed to save image (%s) (%d:%d)\n", path, 3, 0);
  ok = ok && imageWriteFile(path, stream);
  MemoryStream_Release(&stream);
  return ok;
}
