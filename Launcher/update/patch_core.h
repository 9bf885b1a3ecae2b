// The patch container and the binary difference inside it, without any system
// header (so that the container reader and both appliers also build as a
// native fuzz target). patcher.h puts files and the process-wide abort flag
// around these cores.
//
// Container: raw size (u32 LE), packed size (u32 LE), then a zlib stream of
// the image. Image ("BSDIFN40"): magic, ctrl block length, diff block length,
// new file size (8-byte sign-magnitude numbers), then the ctrl block of
// (add, extra, seek) triples, the diff block (bytes added to the old file's
// bytes) and the extra block (bytes copied as they are).
//
// Patches come from the network, so every number is checked before use: a
// header or ctrl number whose magnitude reaches 2^31 is refused, offsets are
// computed in 64 bits against explicit bounds, the ctrl, diff and extra
// readers never leave their own blocks, the inflated image must be exactly as
// long as declared, and nothing is written outside [0, new size) of the new
// file. A hostile patch gives an error code, never a crash.
//
// Thread rules: no shared state; the abort flag handed to the streamed core is
// read without a lock (a late view only delays the stop).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Pieces (and buffers) of the streamed applier: 50 MiB.
constexpr size_t kPatchPieceSize = 52428800;
// The image header: magic and three numbers.
constexpr int64_t kPatchHeaderSize = 32;
// Images of 2 GiB or more are refused: every length in them is below 2^31.
constexpr uint32_t kMaxPatchRawSize = 0x7fffffff;
// Deflate cannot shrink data by more than 1032:1, so a raw size beyond this
// multiple of the packed size is a lie (and would only make us allocate).
constexpr uint64_t kMaxInflateRatio = 1032;

// Where the container is read from.
class PatchByteSource {
 public:
  virtual ~PatchByteSource() = default;
  // Reads up to `n` bytes; `got` 0 at the end. False on a read error.
  virtual bool Read(uint8_t* buffer, size_t n, size_t& got) = 0;
  // Bytes left to read, or -1 when unknown.
  virtual int64_t Remaining() const { return -1; }
};

// An inflated image; `data` holds `size` bytes (at least one byte allocated).
struct PatchImage {
  std::unique_ptr<uint8_t[]> data;
  int64_t size = 0;
};

// Reads and inflates a container. 1 on success (`image` filled), else -1 raw
// size unreadable, -2 raw size short, -3 packed size unreadable, -4 packed
// size short, -5 stream unreadable (or its buffer not allocated), -6 stream
// short, -7 inflation failed: not a zlib stream, an image not exactly the raw
// size long, or a raw size of 2 GiB or more or beyond kMaxInflateRatio times
// the packed size. Bytes after the stream are ignored.
[[nodiscard]] int ReadPatchContainerFrom(PatchByteSource& source, PatchImage& image);
// The same for a container in memory.
[[nodiscard]] int ReadPatchContainerBytes(const uint8_t* data, size_t size, PatchImage& image);

// An 8-byte sign-magnitude number. False when its magnitude reaches 2^31.
[[nodiscard]] bool ReadPatchNumber(const uint8_t* bytes, int64_t& value);

// The image header.
struct PatchHeader {
  int64_t ctrl_length = 0;
  int64_t diff_length = 0;
  int64_t new_size = 0;
};

enum class PatchHeaderResult {
  kOk,
  kShort,      // fewer than 32 bytes
  kBadMagic,   // not "BSDIFN40"
  kBadNumber,  // a number negative or of magnitude 2^31 or more
};
PatchHeaderResult ParsePatchHeader(const uint8_t* image, int64_t length, PatchHeader& header);

// Applies the image to the old bytes into `new_data` (`new_size` bytes, which
// must equal the header's new size). 0 on success, -1 on any failure, with
// the reason in `message` when given: "fread(patchfile)", "Corrupt patch\n",
// "Corrupt param of newsize\n" or "fseeko(patchfile, <offset>)".
[[nodiscard]] int ApplyPatchInMemory(const uint8_t* old_data, int64_t old_size, uint8_t* new_data,
                                     int64_t new_size, const uint8_t* image, int64_t image_length,
                                     std::string* message = nullptr);

// The old file of the streamed applier.
class PatchOldReader {
 public:
  virtual ~PatchOldReader() = default;
  // Reads exactly `n` bytes at `position` (0 <= position, position + n <= old
  // size). False when it cannot.
  virtual bool ReadAt(int64_t position, uint8_t* buffer, size_t n) = 0;
};

// The new file of the streamed applier, written front to back.
class PatchNewWriter {
 public:
  virtual ~PatchNewWriter() = default;
  // Appends exactly `n` bytes; false on a failed or short write.
  virtual bool Write(const uint8_t* buffer, size_t n) = 0;
};

// Result codes of ApplyPatchStreamedCore; `detail` tells where the loop
// stopped when the result is kPatchStreamStopped.
enum : int {
  kPatchStreamOk = 0,
  kPatchStreamBadHeader = -6,
  kPatchStreamDiffBeyondImage = -8,
  kPatchStreamExtraBeyondImage = -9,
  kPatchStreamNoFirstBuffer = -10,
  kPatchStreamNoSecondBuffer = -11,
  kPatchStreamStopped = -12,
};
enum : int {
  kPatchDetailCtrlShort = -1,      // a ctrl number cut short by its block
  kPatchDetailBadCtrl = -2,        // negative or oversized lengths, or beyond the new size
  kPatchDetailAddFailed = -3,      // diff bytes missing, an old read or a write failed, or abort
  kPatchDetailBeyondNewSize = -4,  // add + extra beyond the new size
  kPatchDetailExtraFailed = -5,    // extra bytes missing, a write failed, or abort
  kPatchDetailAborted = -6,        // abort seen between triples
};

// Where the streamed applier takes its two buffers from; tests hand in one
// that refuses, the default allocates without throwing.
class PatchBufferSource {
 public:
  virtual ~PatchBufferSource() = default;
  // `n` bytes, or null when they cannot be had.
  virtual std::unique_ptr<uint8_t[]> Allocate(size_t n) = 0;
};

// Streams the image over the old and new files with two buffers of at most
// `piece_size` bytes (each no larger than its file needs). Output is gathered
// into whole pieces before it is written; after every whole piece written,
// and after every ctrl triple, `abort` (may be null) is polled, and a set
// flag stops the loop. `new_size` must equal the header's. `detail` is 0 or
// a kPatchDetail code. On failure the bytes produced so far stay written.
[[nodiscard]] int ApplyPatchStreamedCore(PatchOldReader& old_file, int64_t old_size,
                                         PatchNewWriter& new_file, int64_t new_size,
                                         const uint8_t* image, int64_t image_length, int& detail,
                                         const std::atomic<bool>* abort,
                                         size_t piece_size = kPatchPieceSize,
                                         PatchBufferSource* buffers = nullptr);
