// Decoding a 4 MiB piece of a piece storage (AES-256 layout, gzip, SHA-1
// digest) through the storage request, against the same steps on
// libcrypto's EVP AES-256-CBC, zlib's inflate and libcrypto's SHA-1 in the
// same run (goal: at least 0.8x); and the PBKDF2 cost per piece at 10,000
// iterations with and without the request's derived-key cache.
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/storagerequest.h"
#include "bench/bench_ratio.h"
#include "core/runtime/memory.h"
#include "core/security/aes.h"
#include "core/security/hash.h"
#include "core/security/hmac.h"
#include "tests/metafile_util.h"

namespace {

constexpr int32_t kPieceBytes = 4 << 20;
constexpr double kGoal = 0.8;
const char kPassword[] = "correct horse";

struct Piece {
  std::vector<uint8_t> plain, layout;
  std::vector<uint8_t> key, iv;
  size_t dataAt = 0, dataLength = 0;
};

// Text-like bytes that deflate to about a third.
std::vector<uint8_t> makePlain() {
  std::mt19937 rng(7);
  static const char *words[] = {"piece ", "storage ", "delta ", "pad ", "digest ", "content ",
                                "request ", "buffer\n", "0x1f ", "version "};
  std::vector<uint8_t> out;
  while (out.size() < size_t(kPieceBytes)) {
    const char *w = words[rng() % 10];
    out.insert(out.end(), w, w + strlen(w));
    if (rng() % 8 == 0) out.push_back(uint8_t(rng()));
  }
  out.resize(kPieceBytes);
  return out;
}

std::vector<uint8_t> gzipOf(const std::vector<uint8_t> &in) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::vector<uint8_t> out(deflateBound(&z, uLong(in.size())) + 64);
  z.next_in = const_cast<uint8_t *>(in.data());
  z.avail_in = uInt(in.size());
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

void put(std::vector<uint8_t> &out, uint32_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; i--) out.push_back(uint8_t(value >> (8 * i)));
}

// The AES layout of body with SHA1 check and data hashes.
Piece makeLayout(const std::vector<uint8_t> &body, uint32_t iterations, uint8_t saltByte) {
  Piece p;
  std::vector<uint8_t> salt(16, saltByte);
  p.iv.assign(16, 0x5a);
  p.key.resize(32);
  Hmac_Pbkdf2Sha1(kPassword, int32_t(strlen(kPassword)), salt.data(), 16, int32_t(iterations),
                  p.key.data(), 32);
  AesContext *aes = nullptr;
  AES_Create(&aes);
  AES_SetKey(aes, p.key.data(), 32);
  std::vector<uint8_t> check(32, 0x33), checkCipher(32);
  std::vector<uint8_t> iv = p.iv;
  AES_EncryptCBC(aes, iv.data(), 16, check.data(), checkCipher.data(), 32);
  size_t padding = (16 - body.size() % 16) % 16;
  std::vector<uint8_t> data = body;
  data.resize(body.size() + padding, 0);
  std::vector<uint8_t> cipher(data.size());
  iv = p.iv;
  AES_EncryptCBC(aes, iv.data(), 16, data.data(), cipher.data(), int64_t(data.size()));
  AES_Release(&aes);
  std::vector<uint8_t> &o = p.layout;
  put(o, iterations, 2);
  put(o, 16, 2);
  o.insert(o.end(), salt.begin(), salt.end());
  put(o, 16, 2);
  o.insert(o.end(), p.iv.begin(), p.iv.end());
  put(o, 32, 2);
  o.insert(o.end(), checkCipher.begin(), checkCipher.end());
  uint8_t digest[20];
  o.push_back(4);
  o.insert(o.end(), {'S', 'H', 'A', '1'});
  Hash_ComputeDigest(&kHashSha1, check.data(), 32, digest, 20);
  o.insert(o.end(), digest, digest + 20);
  o.push_back(uint8_t(padding));
  put(o, uint32_t(cipher.size()), 4);
  p.dataAt = o.size();
  p.dataLength = cipher.size();
  o.insert(o.end(), cipher.begin(), cipher.end());
  Hash_ComputeDigest(&kHashSha1, o.data(), int64_t(o.size()), digest, 20);
  o.push_back(4);
  o.insert(o.end(), {'S', 'H', 'A', '1'});
  o.insert(o.end(), digest, digest + 20);
  return p;
}

std::string metafileText(const std::vector<uint8_t> &plain) {
  uint8_t digest[20];
  Hash_ComputeDigest(&kHashSha1, plain.data(), int64_t(plain.size()), digest, 20);
  static const char *b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (int i = 0; i < 21; i += 3) {
    uint32_t v = uint32_t(digest[i]) << 16 | (i + 1 < 20 ? digest[i + 1] << 8 : 0) |
                 (i + 2 < 20 ? digest[i + 2] : 0);
    text += b64[v >> 18 & 63];
    text += b64[v >> 12 & 63];
    text += i + 1 < 20 ? b64[v >> 6 & 63] : '=';
    text += i + 2 < 20 ? b64[v & 63] : '=';
  }
  return "{\"id\":\"b\",\"files\":[{\"name\":\"f\",\"size\":" + std::to_string(kPieceBytes) +
         "}],\"pieces\":{\"algorithm\":\"SHA1\",\"hashPadding\":false,\"size\":" +
         std::to_string(kPieceBytes) + ",\"digests\":[\"" + text + "\"]}}";
}

struct Fixture {
  std::vector<uint8_t> plain;
  Piece piece;
  MetaFile *meta = nullptr;
  Fixture() {
    plain = makePlain();
    piece = makeLayout(gzipOf(plain), 1000, 1);
    MetaFile_Create(&meta);
    std::string text = metafileText(plain);
    if (MetaFile_TestLoad(meta, text.data(), int32_t(text.size())).code != 0)
      fprintf(stderr, "metafile refused\n");
  }
};

Fixture &fixture() {
  static Fixture f;
  return f;
}

// The piece as a driver's read leaves it in the request.
void loadPiece(StorageRequest *r, const Piece &piece, uint32_t encoding) {
  StorageRequest_Reset(r);
  StorageRequest_SetMetaFile(r, fixture().meta);
  StorageRequest_AddPiece(r, 0);
  StorageRequest_AllocBuffer(r);
  uint8_t *p = nullptr;
  StorageRequest_GetBuffer(r, 0, &p);
  memcpy(p, piece.layout.data(), piece.layout.size());
  StorageRequest_ReleaseBuffer(r, &p);
  StorageRequest_SetLength(r, int64_t(piece.layout.size()));
  StorageRequest_SetEncoding(r, encoding);
}

int decodeOurs(StorageRequest *r, const Piece &piece) {
  loadPiece(r, piece, kStorageFlagAes256 | kStorageFlagGzip);
  int rc = StorageRequest_Decrypt(r, kPassword, int32_t(strlen(kPassword)));
  if (rc == 0) rc = StorageRequest_Inflate(r);
  StorageRequest_RemovePadding(r);
  int32_t failed = 0;
  if (rc == 0) rc = StorageRequest_CheckDigests(r, &failed);
  return rc;
}

void BM_PieceDecode(benchmark::State &state) {
  Fixture &f = fixture();
  StorageRequest *r = nullptr;
  StorageRequest_Create(&r);
  for (auto _ : state)
    if (decodeOurs(r, f.piece) != 0) state.SkipWithError("decode failed");
  state.SetBytesProcessed(int64_t(state.iterations()) * kPieceBytes);
  Class_ReleaseObject(&r);
}

// The same work on libcrypto and zlib: the data digest over the layout,
// AES-256-CBC, inflate and the piece's SHA-1 (key derived once, as the
// request's cache does).
void BM_PieceDecodePeer(benchmark::State &state) {
  Fixture &f = fixture();
  const Piece &p = f.piece;
  std::vector<uint8_t> body(p.dataLength), out(size_t(kPieceBytes) + 8192);
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  z_stream z{};
  inflateInit2(&z, 47);
  uint8_t digest[20];
  for (auto _ : state) {
    SHA1(p.layout.data(), p.dataAt + p.dataLength, digest);
    int length = 0;
    EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, p.key.data(), p.iv.data());
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_DecryptUpdate(ctx, body.data(), &length, p.layout.data() + p.dataAt, int(p.dataLength));
    inflateReset(&z);
    z.next_in = body.data();
    z.avail_in = uInt(body.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    if (inflate(&z, Z_FINISH) != Z_STREAM_END) state.SkipWithError("inflate failed");
    SHA1(out.data(), z.total_out, digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kPieceBytes);
  inflateEnd(&z);
  EVP_CIPHER_CTX_free(ctx);
}

// A small piece at 10,000 iterations: one salt (the cache answers after the
// first) or two salts in turn (every piece derives its key).
void BM_Pbkdf2PerPiece(benchmark::State &state) {
  bool cached = state.range(0) != 0;
  std::vector<uint8_t> small(4096, 7);
  Piece a = makeLayout(small, 10000, 1), b = makeLayout(small, 10000, 2);
  StorageRequest *r = nullptr;
  StorageRequest_Create(&r);
  int64_t n = 0;
  for (auto _ : state) {
    const Piece &p = cached || n++ % 2 == 0 ? a : b;
    loadPiece(r, p, kStorageFlagAes256);
    if (StorageRequest_Decrypt(r, kPassword, int32_t(strlen(kPassword))) != 0)
      state.SkipWithError("decrypt failed");
  }
  Class_ReleaseObject(&r);
}

}  // namespace

BENCHMARK(BM_PieceDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PieceDecodePeer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Pbkdf2PerPiece)->ArgName("cached")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
  Mem_Init(0);
  return Bench_Main(argc, argv, [](const BenchRatioReporter &r) {
    const BenchRatioReporter::Result *o = r.Find("BM_PieceDecode");
    const BenchRatioReporter::Result *p = r.Find("BM_PieceDecodePeer");
    if (o && p)
      std::printf("\n4 MiB piece, AES-256 + gzip + SHA-1: ours %.0f MB/s, peer %.0f MB/s, ratio "
                  "%.2fx (goal %.1fx)\n",
                  o->bytesPerSecond / 1e6, p->bytesPerSecond / 1e6,
                  r.SpeedRatio("BM_PieceDecode", "BM_PieceDecodePeer"), kGoal);
    const BenchRatioReporter::Result *a = r.Find("BM_Pbkdf2PerPiece/cached:0"),
                                     *b = r.Find("BM_Pbkdf2PerPiece/cached:1");
    if (a && b)
      std::printf("PBKDF2 at 10,000 iterations per piece: %.0f us without the key cache, %.1f us "
                  "with it\n",
                  a->realTime, b->realTime);
  });
}
