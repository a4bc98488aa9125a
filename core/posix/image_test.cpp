// Image: decoding checked against ImageMagick's reading of the fixtures of
// tests/gen_image.py, the bitmap-file form and saved files read back by
// ImageMagick's convert, and refusals of oversized, truncated and corrupt
// pictures.
#include "core/platform/image.h"

#include <arpa/inet.h>
#include <sys/resource.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/fsfault.h"
#include "tests/log_capture.h"
#include "tests/test_util.h"

namespace {

constexpr const char *kConvert = "/usr/bin/convert";

std::string imageFixture(const std::string &name) { return Test_ReadVectors("image/" + name); }

struct LoadedImage {
  Image *image = nullptr;
  LoadedImage() { Image_Create(&image); }
  ~LoadedImage() { Image_Delete(&image); }
  int Load(const std::string &bytes) {
    return Image_Load(image, bytes.data(), int64_t(bytes.size()));
  }
  std::string Pixels() {
    const uint8_t *data = nullptr;
    int64_t size = 0;
    if (!Image_GetBitmapFile(image, &data, &size)) return "";
    return std::string(reinterpret_cast<const char *>(data) + kImageBitmapFileHeaderBytes,
                       size_t(size - kImageBitmapFileHeaderBytes));
  }
};

int maxChannelDifference(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return 256;
  int most = 0;
  for (size_t i = 0; i < a.size(); i++)
    most = std::max(most, std::abs(int(uint8_t(a[i])) - int(uint8_t(b[i]))));
  return most;
}

// What convert reads from a file: BGRA bytes, rows top first.
std::string convertPixels(const std::string &path) {
  int status = 0;
  return Test_RunCommand(std::string(kConvert) + " '" + path + "' -depth 8 bgra:- 2>/dev/null",
                         &status);
}

void writeFile(const std::string &path, const void *data, size_t size) {
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(data, 1, size, f);
  fclose(f);
}

uint32_t le32(const uint8_t *p) {
  return uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24);
}

}  // namespace

// Every fixture decodes to the pixels ImageMagick reads from it, and its
// bitmap-file form carries them unchanged behind the 54-byte header.
TEST(Image, DecodesFixturesLikeImageMagick) {
  auto rows = Test_ReadRows("image/fixtures.tsv");
  ASSERT_EQ(rows.size(), 10u);
  for (auto &[line, f] : rows) {
    SCOPED_TRACE(f[0]);
    LoadedImage image;
    ASSERT_EQ(image.Load(imageFixture(f[0])), 1);
    int32_t width = 0, height = 0;
    ASSERT_EQ(Image_GetSize(image.image, &width, &height), 1);
    EXPECT_EQ(width, std::stoi(f[1]));
    EXPECT_EQ(height, std::stoi(f[2]));
    EXPECT_LE(maxChannelDifference(image.Pixels(), imageFixture(f[0] + ".bgra")), std::stoi(f[3]));
  }
}

// The bitmap-file form: 3 x 2 gives 78 bytes, pixels at 54, height written
// negative, so convert reads the top row first.
TEST(Image, BitmapFileFormReadsUprightInConvert) {
  const uint8_t kRows[2][3][4] = {{{1, 2, 3, 0x80}, {4, 5, 6, 0xff}, {7, 8, 9, 0x10}},
                                  {{10, 11, 12, 0x20}, {13, 14, 15, 0x30}, {16, 17, 18, 0x40}}};
  // A top-down source file: the decoded rows are the rows as stored.
  uint8_t source[78] = {'B', 'M'};
  source[10] = 54;
  source[14] = 40;
  source[18] = 3;
  memset(source + 22, 0xff, 4);
  source[22] = 0xfe;  // -2
  source[26] = 1;
  source[28] = 32;
  memcpy(source + 54, kRows, sizeof kRows);
  LoadedImage image;
  ASSERT_EQ(image.Load(std::string(reinterpret_cast<char *>(source), sizeof source)), 1);
  const uint8_t *data = nullptr;
  int64_t size = 0;
  ASSERT_EQ(Image_GetBitmapFile(image.image, &data, &size), 1);
  ASSERT_EQ(size, 78);
  EXPECT_EQ(le32(data + 10), 54u);
  EXPECT_EQ(int32_t(le32(data + 22)), -2);
  EXPECT_EQ(0, memcmp(data + 54, kRows, sizeof kRows));

  FsFaultTempDir dir;
  writeFile(dir / "form.bmp", data, size_t(size));
  int status = 0;
  std::string text = Test_RunCommand(
      std::string(kConvert) + " bmp:- txt:- <'" + dir / "form.bmp" + "' 2>/dev/null", &status);
  EXPECT_NE(text.find("0,0: (3,2,1,128)"), std::string::npos) << text;
  EXPECT_NE(text.find("2,1: (18,17,16,64)"), std::string::npos) << text;

  // Without a decoded bitmap there is no form: 0, never 1 with no data.
  Image_DisposeBitmap(image.image);
  EXPECT_EQ(Image_GetBitmapFile(image.image, &data, &size), 0);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(size, 0);
}

// Saved files read back by convert: PNG and BMP exactly, JPEG above 40 dB.
TEST(Image, SavedFilesDecodeInConvert) {
  std::vector<uint32_t> pixels(33 * 24);
  for (int y = 0; y < 24; y++)
    for (int x = 0; x < 32; x++)
      pixels[size_t(y * 33 + x)] = uint32_t(0xff - x * 3) << 24 | uint32_t(x * 8) << 16 |
                                   uint32_t(y * 10) << 8 | uint32_t(x + y) * 4;
  ImageBitmap bitmap = {32, 24, 33 * 4, pixels.data()};  // stride with a spare pixel
  std::string expected;
  for (int y = 0; y < 24; y++)
    expected.append(reinterpret_cast<char *>(&pixels[size_t(y * 33)]), 128);

  FsFaultTempDir dir;
  struct Row {
    const char *mime;
    const char *file;
  } rows[] = {{"image/png", "out.png"}, {"image/bmp", "out.bmp"}, {"image/jpeg", "out.jpg"}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.mime);
    ASSERT_EQ(Image_SaveBitmap(&bitmap, (dir / row.file).c_str(), row.mime), 1);
    std::string read = convertPixels(dir / row.file);
    ASSERT_EQ(read.size(), expected.size());
    if (strcmp(row.mime, "image/jpeg") != 0) {
      EXPECT_EQ(read, expected);
      continue;
    }
    double squares = 0;  // colour channels only: JPEG keeps no alpha
    for (size_t i = 0; i < read.size(); i++) {
      if (i % 4 == 3) continue;
      double d = double(uint8_t(read[i])) - double(uint8_t(expected[i]));
      squares += d * d;
    }
    double psnr = 10 * std::log10(255.0 * 255.0 / (squares / (read.size() / 4 * 3)));
    EXPECT_GT(psnr, 40.0);
  }
}

TEST(Image, UnknownMimeTypeHasNoEncoder) {
  uint32_t pixel = 0xff102030;
  ImageBitmap bitmap = {1, 1, 4, &pixel};
  FsFaultTempDir dir;
  for (const char *mime : {"image/gif", "image/tiff", "image/PNG", ""}) {
    TestLogCapture log;
    EXPECT_EQ(Image_SaveBitmap(&bitmap, (dir / "x").c_str(), mime), 0);
    EXPECT_NE(log.Take().find("Unable to find encoder for mime type (" + std::string(mime) + ")\n"),
              std::string::npos);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "x"));
  ImageBitmap thin = {2, 1, 4, &pixel};  // stride below the width
  EXPECT_EQ(Image_SaveBitmap(&thin, (dir / "x").c_str(), "image/png"), 0);
  EXPECT_EQ(Image_SaveBitmap(&bitmap, (dir / "missing/x.png").c_str(), "image/png"), 0);
}

// Pictures over the limits are refused from their headers: a 100,000 x
// 100,000 PNG would ask for 40 GB, which stops the program.
TEST(Image, RefusesOversizedPicturesBeforeDecoding) {
  std::string bmp = imageFixture("rgb24.bmp");
  ASSERT_GT(bmp.size(), 54u);
  auto bmpSized = [&](int32_t w, int32_t h) {
    std::string b = bmp;
    memcpy(&b[18], &w, 4);
    memcpy(&b[22], &h, 4);
    return b;
  };
  std::string jpeg = imageFixture("baseline.jpg");
  size_t sof = jpeg.find("\xff\xc0");
  ASSERT_NE(sof, std::string::npos);
  auto jpegSized = [&](uint16_t w, uint16_t h) {
    std::string j = jpeg;
    j[sof + 5] = char(h >> 8), j[sof + 6] = char(h), j[sof + 7] = char(w >> 8),
            j[sof + 8] = char(w);
    return j;
  };
  struct Row {
    const char *what;
    std::string bytes;
  } rows[] = {
      {"png 100000 x 100000", imageFixture("huge.png")}, {"bmp 32769 x 1", bmpSized(32769, 1)},
      {"bmp 1 x -32769", bmpSized(1, -32769)},           {"bmp 8192 x 8193", bmpSized(8192, 8193)},
      {"bmp height INT32_MIN", bmpSized(1, INT32_MIN)},  {"bmp 0 x 7", bmpSized(0, 7)},
      {"jpeg 65000 x 65000", jpegSized(65000, 65000)},
  };
  for (Row &row : rows) {
    SCOPED_TRACE(row.what);
    LoadedImage image;
    EXPECT_EQ(image.Load(row.bytes), 0);
    int32_t w = -1, h = -1;
    EXPECT_EQ(Image_GetSize(image.image, &w, &h), 0);
    EXPECT_EQ(w + h, 0);
  }
}

// libpng's memory is bounded: a 272-byte file whose text chunk's length
// field claims 0x61050025 bytes (kept as a fuzz seed), and text chunks of 3
// MiB each, 9 MiB together, fail without the memory being asked for, in a
// child whose data may grow by 256 MiB at most.
TEST(Image, PngChunksAreBoundedUnderAMemoryLimit) {
  std::stringstream seed;
  std::string seedPath = std::string(KEELSON_TESTS_DIR) + "/fuzz/image_fuzz.seeds/";
  seed << std::ifstream(seedPath + "text-claims-1.6g.png", std::ios::binary).rdbuf();
  ASSERT_EQ(seed.str().size(), 272u);
  std::string texts = imageFixture("rgba.png");
  std::string body = std::string("tEXtComment", 12) + std::string(3 << 20, 'x');
  uint32_t be[2] = {htonl(uint32_t(body.size() - 4)),
                    htonl(uint32_t(crc32(0, reinterpret_cast<const Bytef *>(body.data()),
                                         uInt(body.size()))))};
  for (int i = 0; i < 3; i++)  // after the IHDR chunk
    texts.insert(33, std::string(reinterpret_cast<char *>(&be[0]), 4) + body +
                         std::string(reinterpret_cast<char *>(&be[1]), 4));
  FSFAULT_RUN([&](FsFaultChild &child) {
    std::ifstream status("/proc/self/status");
    rlim_t data = 0;
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmData:", 0) == 0) data = rlim_t(std::stoull(line.substr(7))) << 10;
    rlimit limit = {data + (rlim_t(256) << 20), data + (rlim_t(256) << 20)};
    FSF_EXPECT_EQ(child, setrlimit(RLIMIT_DATA, &limit), 0);
    const std::string words = "PNG decode failed (chunk data over what libpng may use: 4 MiB "
                              "for one chunk, 8 MiB in all)";
    for (const std::string &bytes : {seed.str(), texts}) {
      TestLogCapture log;
      LoadedImage image;
      FSF_EXPECT_EQ(child, image.Load(bytes), 0);
      std::string said = log.Take();
      FSF_EXPECT_EQ(child, said.find(words) != std::string::npos ? words : said, words);
    }
  });
}

// Truncated and corrupt files, and formats that are not offered, give 0.
TEST(Image, RefusesTruncatedAndCorruptFiles) {
  std::vector<std::pair<std::string, std::string>> rows;
  for (const char *name : {"rgba.png", "interlaced.png", "baseline.jpg", "progressive.jpg",
                           "rgb24.bmp", "argb32.bmp"}) {
    std::string whole = imageFixture(name);
    for (size_t keep : {size_t(2), size_t(20), whole.size() / 2, whole.size() - 3})
      rows.emplace_back(std::string(name) + " cut at " + std::to_string(keep),
                        whole.substr(0, keep));
  }
  std::string png = imageFixture("rgba.png");
  std::string bmp = imageFixture("argb32.bmp");
  ASSERT_NE(png.find("IDAT"), std::string::npos);
  ASSERT_GT(bmp.size(), 70u);
  std::string badCrc = png;
  badCrc[png.find("IDAT") + 10] ^= 0x55;
  rows.emplace_back("png data under a wrong CRC", badCrc);
  std::string planes = bmp, bits = bmp, rle = bmp, masks = bmp;
  planes[26] = 2;
  bits[28] = 16;
  rle[30] = 1;
  masks[14 + 40] = 0x0f, masks[14 + 41] = 0x0f;  // red mask with a gap: 0x00ff0f0f
  rows.emplace_back("bmp with 2 planes", planes);
  rows.emplace_back("bmp of 16 bits", bits);
  rows.emplace_back("bmp run-length encoded", rle);
  rows.emplace_back("bmp mask with a gap", masks);
  rows.emplace_back("gif", "GIF89a\x01\x00\x01\x00\x00\x00\x00;");
  rows.emplace_back("empty", "");
  for (auto &[what, bytes] : rows) {
    SCOPED_TRACE(what);
    LoadedImage image;
    EXPECT_EQ(image.Load(bytes), 0);
    const uint8_t *data = reinterpret_cast<const uint8_t *>(1);
    int64_t size = -1;
    EXPECT_EQ(Image_GetBitmapFile(image.image, &data, &size), 0);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0);
  }
  TestLogCapture log;
  LoadedImage image;
  EXPECT_EQ(image.Load("GIF89a"), 0);
  EXPECT_NE(log.Take().find("Unsupported image format"), std::string::npos);
}

TEST(ImageDeathTest, ChecksObjectAndPointers) {
  Image *image = nullptr;
  Image_Create(&image);
  int32_t w = 0;
  EXPECT_DEATH(Image_GetSize(image, &w, nullptr), "Pointer is NULL\n");
  EXPECT_DEATH(Image_Load(image, nullptr, 1), "Pointer is NULL\n");
  uint32_t notAnImage[16] = {};
  EXPECT_DEATH(Image_Unload(reinterpret_cast<Image *>(notAnImage)), "Class mismatch pointer");
  EXPECT_DEATH(Image_SaveBitmap(nullptr, "x", "image/png"), "Pointer is NULL\n");
  Image_Delete(&image);
  EXPECT_EQ(image, nullptr);
}
