// MD5 digests (RFC 1321) of byte streams and files, written as 32 lower-case
// hexadecimal digits. Every integrity check of the launcher compares such
// digests: downloaded files, installed game files while a version map is
// rebuilt, and the version maps themselves.
//
// Thread rules: an Md5 context belongs to one thread at a time; the free
// functions keep no shared state and may run on any thread at once. Files are
// read in 1 MiB blocks, since these run over every game file.
//
// Bad input never crashes: a null pointer, a missing or unreadable file or a
// stream that fails while it is read gives a false result with an empty digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>

// The running digest of the bytes added so far. A digest can be taken at any
// point without ending the computation: more bytes may follow, and a later
// digest covers them too.
class Md5 {
 public:
  Md5();

  // Adds `n` bytes. A null `bytes` adds nothing.
  void Update(const void* bytes, size_t n);

  // Computes the digest of everything added so far into digest().
  void Final();

  // The 16 bytes of the last digest taken by Final().
  const uint8_t* digest() const { return digest_; }

  // True while digest() covers every byte added so far.
  bool finished() const { return finished_; }

  // Final() when the digest is not current, then the digest as 32 lower-case
  // hexadecimal digits.
  std::string HexDigest();

  // Starts over as a fresh context.
  void Reset();

  // RFC 1321's block transform of one 64-byte block into `state`.
  static void Transform(uint32_t state[4], const uint8_t block[64]);

 private:
  uint32_t state_[4];
  // Message length in bits, low word first.
  uint32_t count_[2];
  uint8_t buffer_[64];
  uint8_t digest_[16];
  bool finished_;
};

// The size of the pieces read from streams and files.
constexpr size_t kMd5ReadBlock = 1 << 20;

// Writes 16 digest bytes as 32 lower-case hexadecimal digits, high half first.
std::string Md5Hex(const uint8_t digest[16]);

// The digest of a text or byte block, for tests and small in-memory data.
std::string Md5OfBytes(const void* bytes, size_t n);

// Reads `stream` to its end and sets `hex` to the digest of what it gave and
// `count` to the number of bytes. False, with `hex` empty and `count` 0, for a
// null stream or when the stream fails for any reason other than reaching its
// end (a read error would otherwise pass for the digest of a shorter file).
// The caller owns the stream and closes it.
[[nodiscard]] bool Md5OfStream(std::istream* stream, std::string& hex, int64_t& count);
// As above with a 32-bit count; false as well when the stream holds more than
// INT32_MAX bytes, which the count cannot tell.
[[nodiscard]] bool Md5OfStream(std::istream* stream, std::string& hex, int& count);

// The digest and size of a whole file. Wide paths are UTF-16, narrow ones are
// in the ANSI code page. False, with `hex` empty and `size` 0, when the file
// cannot be opened or read to its end.
[[nodiscard]] bool Md5OfFileW(const std::wstring& path, std::string& hex, int64_t& size);
[[nodiscard]] bool Md5OfFileA(const std::string& path, std::string& hex, int64_t& size);

// Whether the file's digest equals `expected` exactly (an upper-case digest
// never matches). `actual` and `size` receive the file's digest and size; both
// are empty and 0 when the file cannot be read, and the result is false then.
// The overloads with an int size give false as well for a file of more than
// INT32_MAX bytes, whose size they cannot tell. The std::string path is in the
// ANSI code page.
[[nodiscard]] bool FileMatchesMd5(const std::wstring& path, const std::string& expected,
                                  std::string& actual, int64_t& size);
[[nodiscard]] bool FileMatchesMd5(const std::string& path, const std::string& expected,
                                  std::string& actual, int64_t& size);
[[nodiscard]] bool FileMatchesMd5(const std::wstring& path, const std::string& expected,
                                  std::string& actual, int& size);
[[nodiscard]] bool FileMatchesMd5(const std::string& path, const std::string& expected,
                                  std::string& actual, int& size);
