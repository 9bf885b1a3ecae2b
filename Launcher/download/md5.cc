#include "download/md5.h"

#include <windows.h>

#include <climits>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "base/text_util.h"

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "The block transform loads message words in the machine's order, which must be little-endian"
#endif

namespace {

constexpr uint32_t kInitialState[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

inline uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t LoadWord(const uint8_t* p) {
  uint32_t w;
  std::memcpy(&w, p, sizeof(w));
  return w;
}

// The four auxiliary functions in the forms that compile to the fewest
// instructions; they give the same values as RFC 1321's definitions.
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return y ^ (z & (x ^ y)); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

#define MD5_STEP(f, a, b, c, d, x, s, t) \
  a += f(b, c, d) + (x) + (t);           \
  a = RotateLeft(a, s) + b

// Fills in the bit length and pads the last block(s) of a message whose
// incomplete tail is `tail` (`used` bytes, under 64) into `state`.
void FinishBlocks(uint32_t state[4], const uint32_t count[2], const uint8_t* tail, size_t used) {
  uint8_t block[128];
  std::memcpy(block, tail, used);
  block[used] = 0x80;
  const size_t total = used < 56 ? 64 : 128;
  std::memset(block + used + 1, 0, total - used - 1);
  for (int i = 0; i < 4; ++i) {
    block[total - 8 + i] = static_cast<uint8_t>(count[0] >> (8 * i));
    block[total - 4 + i] = static_cast<uint8_t>(count[1] >> (8 * i));
  }
  Md5::Transform(state, block);
  if (total == 128) Md5::Transform(state, block + 64);
}

// Closes a Windows handle when it goes out of scope.
class ScopedFileHandle {
 public:
  explicit ScopedFileHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedFileHandle() {
    if (valid()) CloseHandle(handle_);
  }
  ScopedFileHandle(const ScopedFileHandle&) = delete;
  ScopedFileHandle& operator=(const ScopedFileHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

std::unique_ptr<uint8_t[]> NewReadBuffer() {
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[kMd5ReadBlock]);
}

bool NarrowToWidePath(const std::string& path, std::wstring& wide) {
  TextUtil::MultiByteToWide(path, wide, CP_ACP);
  // A path that the code page cannot convert must not become some other
  // (shorter) path.
  return !path.empty() && !wide.empty();
}

bool FitsInt(int64_t value) { return value >= 0 && value <= INT_MAX; }

}  // namespace

Md5::Md5() { Reset(); }

void Md5::Reset() {
  std::memcpy(state_, kInitialState, sizeof(state_));
  count_[0] = count_[1] = 0;
  std::memset(buffer_, 0, sizeof(buffer_));
  std::memset(digest_, 0, sizeof(digest_));
  finished_ = false;
}

void Md5::Transform(uint32_t state[4], const uint8_t block[64]) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  const uint32_t x0 = LoadWord(block), x1 = LoadWord(block + 4), x2 = LoadWord(block + 8),
                 x3 = LoadWord(block + 12), x4 = LoadWord(block + 16), x5 = LoadWord(block + 20),
                 x6 = LoadWord(block + 24), x7 = LoadWord(block + 28), x8 = LoadWord(block + 32),
                 x9 = LoadWord(block + 36), x10 = LoadWord(block + 40), x11 = LoadWord(block + 44),
                 x12 = LoadWord(block + 48), x13 = LoadWord(block + 52), x14 = LoadWord(block + 56),
                 x15 = LoadWord(block + 60);

  MD5_STEP(F, a, b, c, d, x0, 7, 0xd76aa478u);
  MD5_STEP(F, d, a, b, c, x1, 12, 0xe8c7b756u);
  MD5_STEP(F, c, d, a, b, x2, 17, 0x242070dbu);
  MD5_STEP(F, b, c, d, a, x3, 22, 0xc1bdceeeu);
  MD5_STEP(F, a, b, c, d, x4, 7, 0xf57c0fafu);
  MD5_STEP(F, d, a, b, c, x5, 12, 0x4787c62au);
  MD5_STEP(F, c, d, a, b, x6, 17, 0xa8304613u);
  MD5_STEP(F, b, c, d, a, x7, 22, 0xfd469501u);
  MD5_STEP(F, a, b, c, d, x8, 7, 0x698098d8u);
  MD5_STEP(F, d, a, b, c, x9, 12, 0x8b44f7afu);
  MD5_STEP(F, c, d, a, b, x10, 17, 0xffff5bb1u);
  MD5_STEP(F, b, c, d, a, x11, 22, 0x895cd7beu);
  MD5_STEP(F, a, b, c, d, x12, 7, 0x6b901122u);
  MD5_STEP(F, d, a, b, c, x13, 12, 0xfd987193u);
  MD5_STEP(F, c, d, a, b, x14, 17, 0xa679438eu);
  MD5_STEP(F, b, c, d, a, x15, 22, 0x49b40821u);

  MD5_STEP(G, a, b, c, d, x1, 5, 0xf61e2562u);
  MD5_STEP(G, d, a, b, c, x6, 9, 0xc040b340u);
  MD5_STEP(G, c, d, a, b, x11, 14, 0x265e5a51u);
  MD5_STEP(G, b, c, d, a, x0, 20, 0xe9b6c7aau);
  MD5_STEP(G, a, b, c, d, x5, 5, 0xd62f105du);
  MD5_STEP(G, d, a, b, c, x10, 9, 0x02441453u);
  MD5_STEP(G, c, d, a, b, x15, 14, 0xd8a1e681u);
  MD5_STEP(G, b, c, d, a, x4, 20, 0xe7d3fbc8u);
  MD5_STEP(G, a, b, c, d, x9, 5, 0x21e1cde6u);
  MD5_STEP(G, d, a, b, c, x14, 9, 0xc33707d6u);
  MD5_STEP(G, c, d, a, b, x3, 14, 0xf4d50d87u);
  MD5_STEP(G, b, c, d, a, x8, 20, 0x455a14edu);
  MD5_STEP(G, a, b, c, d, x13, 5, 0xa9e3e905u);
  MD5_STEP(G, d, a, b, c, x2, 9, 0xfcefa3f8u);
  MD5_STEP(G, c, d, a, b, x7, 14, 0x676f02d9u);
  MD5_STEP(G, b, c, d, a, x12, 20, 0x8d2a4c8au);

  MD5_STEP(H, a, b, c, d, x5, 4, 0xfffa3942u);
  MD5_STEP(H, d, a, b, c, x8, 11, 0x8771f681u);
  MD5_STEP(H, c, d, a, b, x11, 16, 0x6d9d6122u);
  MD5_STEP(H, b, c, d, a, x14, 23, 0xfde5380cu);
  MD5_STEP(H, a, b, c, d, x1, 4, 0xa4beea44u);
  MD5_STEP(H, d, a, b, c, x4, 11, 0x4bdecfa9u);
  MD5_STEP(H, c, d, a, b, x7, 16, 0xf6bb4b60u);
  MD5_STEP(H, b, c, d, a, x10, 23, 0xbebfbc70u);
  MD5_STEP(H, a, b, c, d, x13, 4, 0x289b7ec6u);
  MD5_STEP(H, d, a, b, c, x0, 11, 0xeaa127fau);
  MD5_STEP(H, c, d, a, b, x3, 16, 0xd4ef3085u);
  MD5_STEP(H, b, c, d, a, x6, 23, 0x04881d05u);
  MD5_STEP(H, a, b, c, d, x9, 4, 0xd9d4d039u);
  MD5_STEP(H, d, a, b, c, x12, 11, 0xe6db99e5u);
  MD5_STEP(H, c, d, a, b, x15, 16, 0x1fa27cf8u);
  MD5_STEP(H, b, c, d, a, x2, 23, 0xc4ac5665u);

  MD5_STEP(I, a, b, c, d, x0, 6, 0xf4292244u);
  MD5_STEP(I, d, a, b, c, x7, 10, 0x432aff97u);
  MD5_STEP(I, c, d, a, b, x14, 15, 0xab9423a7u);
  MD5_STEP(I, b, c, d, a, x5, 21, 0xfc93a039u);
  MD5_STEP(I, a, b, c, d, x12, 6, 0x655b59c3u);
  MD5_STEP(I, d, a, b, c, x3, 10, 0x8f0ccc92u);
  MD5_STEP(I, c, d, a, b, x10, 15, 0xffeff47du);
  MD5_STEP(I, b, c, d, a, x1, 21, 0x85845dd1u);
  MD5_STEP(I, a, b, c, d, x8, 6, 0x6fa87e4fu);
  MD5_STEP(I, d, a, b, c, x15, 10, 0xfe2ce6e0u);
  MD5_STEP(I, c, d, a, b, x6, 15, 0xa3014314u);
  MD5_STEP(I, b, c, d, a, x13, 21, 0x4e0811a1u);
  MD5_STEP(I, a, b, c, d, x4, 6, 0xf7537e82u);
  MD5_STEP(I, d, a, b, c, x11, 10, 0xbd3af235u);
  MD5_STEP(I, c, d, a, b, x2, 15, 0x2ad7d2bbu);
  MD5_STEP(I, b, c, d, a, x9, 21, 0xeb86d391u);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

#undef MD5_STEP

void Md5::Update(const void* bytes, size_t n) {
  if (bytes == nullptr || n == 0) return;
  finished_ = false;
  const uint8_t* input = static_cast<const uint8_t*>(bytes);
  size_t used = (count_[0] >> 3) & 0x3f;

  // The bit count is 64 bits wide and wraps, as RFC 1321 has it.
  const uint64_t bits =
      (static_cast<uint64_t>(count_[1]) << 32 | count_[0]) + (static_cast<uint64_t>(n) << 3);
  count_[0] = static_cast<uint32_t>(bits);
  count_[1] = static_cast<uint32_t>(bits >> 32);

  if (used != 0) {
    const size_t take = 64 - used;
    if (n < take) {
      std::memcpy(buffer_ + used, input, n);
      return;
    }
    std::memcpy(buffer_ + used, input, take);
    Transform(state_, buffer_);
    input += take;
    n -= take;
  }
  // Whole blocks straight from the input, without a copy.
  for (; n >= 64; input += 64, n -= 64) Transform(state_, input);
  if (n != 0) std::memcpy(buffer_, input, n);
}

void Md5::Final() {
  // The padding goes through copies of the state and the tail, so that the
  // running computation is untouched and more bytes may follow.
  uint32_t state[4];
  std::memcpy(state, state_, sizeof(state));
  FinishBlocks(state, count_, buffer_, (count_[0] >> 3) & 0x3f);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) digest_[4 * i + j] = static_cast<uint8_t>(state[i] >> (8 * j));
  }
  finished_ = true;
}

std::string Md5::HexDigest() {
  if (!finished_) Final();
  return Md5Hex(digest_);
}

std::string Md5Hex(const uint8_t digest[16]) {
  static const char kDigits[] = "0123456789abcdef";
  if (digest == nullptr) return std::string();
  std::string hex(32, '0');
  for (int i = 0; i < 16; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 0x0f];
  }
  return hex;
}

std::string Md5OfBytes(const void* bytes, size_t n) {
  Md5 md5;
  md5.Update(bytes, n);
  return md5.HexDigest();
}

bool Md5OfStream(std::istream* stream, std::string& hex, int64_t& count) {
  hex.clear();
  count = 0;
  if (stream == nullptr) return false;
  std::unique_ptr<uint8_t[]> buffer = NewReadBuffer();
  if (!buffer) return false;
  Md5 md5;
  int64_t total = 0;
  try {
    if (stream->fail()) return false;
    while (stream->good()) {
      stream->read(reinterpret_cast<char*>(buffer.get()),
                   static_cast<std::streamsize>(kMd5ReadBlock));
      const std::streamsize got = stream->gcount();
      if (got <= 0) break;
      md5.Update(buffer.get(), static_cast<size_t>(got));
      total += got;
    }
    // Reaching the end sets both eof and fail; anything else is an error.
    if (stream->bad() || !stream->eof()) return false;
  } catch (const std::exception&) {
    // A stream set to throw on errors.
    return false;
  }
  hex = md5.HexDigest();
  count = total;
  return true;
}

bool Md5OfStream(std::istream* stream, std::string& hex, int& count) {
  int64_t total = 0;
  count = 0;
  if (!Md5OfStream(stream, hex, total)) return false;
  if (!FitsInt(total)) {
    hex.clear();
    return false;
  }
  count = static_cast<int>(total);
  return true;
}

bool Md5OfFileW(const std::wstring& path, std::string& hex, int64_t& size) {
  hex.clear();
  size = 0;
  if (path.empty() || path.find(L'\0') != std::wstring::npos) return false;
  ScopedFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid()) return false;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(file.get(), &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  std::unique_ptr<uint8_t[]> buffer = NewReadBuffer();
  if (!buffer) return false;
  Md5 md5;
  int64_t total = 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer.get(), static_cast<DWORD>(kMd5ReadBlock), &got, nullptr)) {
      return false;
    }
    if (got == 0) break;
    md5.Update(buffer.get(), got);
    total += got;
  }
  hex = md5.HexDigest();
  size = total;
  return true;
}

bool Md5OfFileA(const std::string& path, std::string& hex, int64_t& size) {
  hex.clear();
  size = 0;
  std::wstring wide;
  if (!NarrowToWidePath(path, wide)) return false;
  return Md5OfFileW(wide, hex, size);
}

bool FileMatchesMd5(const std::wstring& path, const std::string& expected, std::string& actual,
                    int64_t& size) {
  if (!Md5OfFileW(path, actual, size)) return false;
  return actual == expected;
}

bool FileMatchesMd5(const std::string& path, const std::string& expected, std::string& actual,
                    int64_t& size) {
  if (!Md5OfFileA(path, actual, size)) return false;
  return actual == expected;
}

bool FileMatchesMd5(const std::wstring& path, const std::string& expected, std::string& actual,
                    int& size) {
  int64_t total = 0;
  size = 0;
  if (!Md5OfFileW(path, actual, total)) return false;
  if (!FitsInt(total)) {
    actual.clear();
    return false;
  }
  size = static_cast<int>(total);
  return actual == expected;
}

bool FileMatchesMd5(const std::string& path, const std::string& expected, std::string& actual,
                    int& size) {
  std::wstring wide;
  actual.clear();
  size = 0;
  if (!NarrowToWidePath(path, wide)) return false;
  return FileMatchesMd5(wide, expected, actual, size);
}
