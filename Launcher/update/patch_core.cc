#include "update/patch_core.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr char kPatchMagic[8] = {'B', 'S', 'D', 'I', 'F', 'N', '4', '0'};
// Old positions stay far inside this bound in any real patch; beyond it a
// patch can only be steering the arithmetic somewhere it should not go.
constexpr int64_t kOldPositionLimit = int64_t{1} << 40;
// Old bytes are read ahead in blocks of this size at least, so that the many
// small add steps of a typical patch do not each cost a read.
constexpr int64_t kOldReadAhead = int64_t{4} << 20;

uint32_t ReadU32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Reads until `n` bytes or the end; false on a read error.
bool ReadFully(PatchByteSource& source, uint8_t* buffer, size_t n, size_t& total) {
  total = 0;
  while (total < n) {
    size_t got = 0;
    if (!source.Read(buffer + total, n - total, got)) return false;
    if (got == 0) break;
    total += std::min(got, n - total);
  }
  return true;
}

class MemorySource : public PatchByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {}
  bool Read(uint8_t* buffer, size_t n, size_t& got) override {
    got = std::min(n, size_ - position_);
    if (got > 0) std::memcpy(buffer, data_ + position_, got);
    position_ += got;
    return true;
  }
  int64_t Remaining() const override { return static_cast<int64_t>(size_ - position_); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// out[k] = a[k] + b[k] (modulo 256) for k < n. Eight bytes at a time: the
// low seven bits of each byte are added without reaching the next byte, and
// the top bit is their carry plus the two top bits. The byte loop it replaces
// does not vectorise at -O2, and for large patches it is most of the work.
void AddInto(uint8_t* out, const uint8_t* a, const uint8_t* b, size_t n) {
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  size_t k = 0;
  for (; k + 8 <= n; k += 8) {
    uint64_t x;
    uint64_t y;
    std::memcpy(&x, a + k, sizeof(x));
    std::memcpy(&y, b + k, sizeof(y));
    const uint64_t sum = ((x & ~kHigh) + (y & ~kHigh)) ^ ((x ^ y) & kHigh);
    std::memcpy(out + k, &sum, sizeof(sum));
  }
  for (; k < n; ++k) out[k] = static_cast<uint8_t>(a[k] + b[k]);
}

// One add step in a single pass: `length` diff bytes into `target` for the
// old positions [start, start + length), each plus its old byte where the
// position lies in [low, high); `old_at_low` holds the old byte of `low`.
void AddStepBytes(uint8_t* target, const uint8_t* diff, int64_t length, int64_t start, int64_t low,
                  int64_t high, const uint8_t* old_at_low) {
  if (low >= high) {
    std::memcpy(target, diff, static_cast<size_t>(length));
    return;
  }
  const size_t before = static_cast<size_t>(low - start);
  const size_t count = static_cast<size_t>(high - low);
  const size_t after = static_cast<size_t>(length) - before - count;
  std::memcpy(target, diff, before);
  AddInto(target + before, diff + before, old_at_low, count);
  std::memcpy(target + before + count, diff + before + count, after);
}

// The streamed applier's state between the steps of one application.
class StreamApplier {
 public:
  StreamApplier(PatchOldReader& old_file, int64_t old_size, PatchNewWriter& new_file,
                const uint8_t* image, uint8_t* out, size_t out_capacity, uint8_t* window,
                size_t window_capacity, bool poll_pieces, const std::atomic<bool>* abort)
      : old_file_(old_file),
        old_size_(old_size),
        new_file_(new_file),
        image_(image),
        out_(out),
        out_capacity_(static_cast<int64_t>(out_capacity)),
        window_(window),
        window_capacity_(static_cast<int64_t>(window_capacity)),
        poll_pieces_(poll_pieces),
        abort_(abort) {}

  void SetBlocks(int64_t diff_start, int64_t diff_end, int64_t extra_start, int64_t extra_end) {
    diff_position_ = diff_start;
    diff_end_ = diff_end;
    extra_position_ = extra_start;
    extra_end_ = extra_end;
  }

  bool Aborted() const { return abort_ != nullptr && abort_->load(std::memory_order_relaxed); }

  // `length` diff bytes plus the old bytes from `old_position` on.
  bool AddStep(int64_t length, int64_t old_position) {
    while (length > 0) {
      const int64_t piece = std::min(length, out_capacity_ - fill_);
      if (diff_end_ - diff_position_ < piece) return false;
      const int64_t low = std::max<int64_t>(old_position, 0);
      const int64_t high = std::min(old_position + piece, old_size_);
      if (low < high && !CoverOld(low, high)) return false;
      AddStepBytes(out_ + fill_, image_ + diff_position_, piece, old_position, low, high,
                   low < high ? window_ + (low - window_start_) : nullptr);
      diff_position_ += piece;
      last_detail_ = kPatchDetailAddFailed;
      fill_ += piece;
      length -= piece;
      old_position += piece;
      if (!PieceDone()) return false;
    }
    return true;
  }

  // `length` bytes of the extra block, as they are.
  bool ExtraStep(int64_t length) {
    while (length > 0) {
      const int64_t piece = std::min(length, out_capacity_ - fill_);
      if (extra_end_ - extra_position_ < piece) return false;
      std::memcpy(out_ + fill_, image_ + extra_position_, static_cast<size_t>(piece));
      extra_position_ += piece;
      last_detail_ = kPatchDetailExtraFailed;
      fill_ += piece;
      length -= piece;
      if (!PieceDone()) return false;
    }
    return true;
  }

  // Writes what is gathered. False when this or an earlier write failed.
  bool Flush() {
    if (write_failed_) return false;
    if (fill_ == 0) return true;
    write_failed_ = !new_file_.Write(out_, static_cast<size_t>(fill_));
    fill_ = 0;
    return !write_failed_;
  }

  // The step that last put bytes into the output, for a failed final write.
  int last_detail() const { return last_detail_; }

 private:
  // A whole piece gathered: write it, then look at the abort flag.
  bool PieceDone() {
    if (fill_ < out_capacity_) return true;
    if (!Flush()) return false;
    return !(poll_pieces_ && Aborted());
  }

  // Makes the window hold the old bytes [low, high).
  bool CoverOld(int64_t low, int64_t high) {
    if (low >= window_start_ && high <= window_start_ + window_length_) return true;
    int64_t length = std::max(high - low, kOldReadAhead);
    length = std::min({length, window_capacity_, old_size_ - low});
    window_length_ = 0;
    if (length < high - low) return false;
    if (!old_file_.ReadAt(low, window_, static_cast<size_t>(length))) return false;
    window_start_ = low;
    window_length_ = length;
    return true;
  }

  PatchOldReader& old_file_;
  const int64_t old_size_;
  PatchNewWriter& new_file_;
  const uint8_t* const image_;
  uint8_t* const out_;
  const int64_t out_capacity_;
  int64_t fill_ = 0;
  uint8_t* const window_;
  const int64_t window_capacity_;
  int64_t window_start_ = 0;
  int64_t window_length_ = 0;
  const bool poll_pieces_;
  const std::atomic<bool>* const abort_;
  int64_t diff_position_ = 0;
  int64_t diff_end_ = 0;
  int64_t extra_position_ = 0;
  int64_t extra_end_ = 0;
  int last_detail_ = kPatchDetailAddFailed;
  bool write_failed_ = false;
};

class HeapBuffers : public PatchBufferSource {
 public:
  std::unique_ptr<uint8_t[]> Allocate(size_t n) override {
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[n]);
  }
};

}  // namespace

int ReadPatchContainerFrom(PatchByteSource& source, PatchImage& image) {
  uint8_t field[4];
  size_t got = 0;
  if (!ReadFully(source, field, sizeof(field), got)) return -1;
  if (got < sizeof(field)) return -2;
  const uint32_t raw_size = ReadU32(field);
  if (!ReadFully(source, field, sizeof(field), got)) return -3;
  if (got < sizeof(field)) return -4;
  const uint32_t packed_size = ReadU32(field);

  const int64_t remaining = source.Remaining();
  if (remaining >= 0 && static_cast<int64_t>(packed_size) > remaining) return -6;
  if (raw_size > kMaxPatchRawSize ||
      static_cast<uint64_t>(raw_size) > static_cast<uint64_t>(packed_size) * kMaxInflateRatio) {
    return -7;
  }
  std::unique_ptr<uint8_t[]> stream(new (std::nothrow) uint8_t[packed_size ? packed_size : 1]);
  if (!stream) return -5;
  if (!ReadFully(source, stream.get(), packed_size, got)) return -5;
  if (got < packed_size) return -6;

  std::unique_ptr<uint8_t[]> inflated(new (std::nothrow) uint8_t[raw_size ? raw_size : 1]);
  if (!inflated) return -7;
  // With room for exactly the declared size, a longer stream ends in a buffer
  // error and a shorter one in a short length: either way it is refused.
  uLongf inflated_length = raw_size;
  const int z = uncompress(inflated.get(), &inflated_length, stream.get(), packed_size);
  if (z != Z_OK || inflated_length != raw_size) return -7;
  image.data = std::move(inflated);
  image.size = raw_size;
  return 1;
}

int ReadPatchContainerBytes(const uint8_t* data, size_t size, PatchImage& image) {
  MemorySource source(data, size);
  return ReadPatchContainerFrom(source, image);
}

bool ReadPatchNumber(const uint8_t* bytes, int64_t& value) {
  uint64_t magnitude = static_cast<uint64_t>(bytes[7] & 0x7f) << 56;
  for (int i = 6; i >= 0; --i) magnitude |= static_cast<uint64_t>(bytes[i]) << (8 * i);
  if (magnitude >= (uint64_t{1} << 31)) return false;
  value = (bytes[7] & 0x80) ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

PatchHeaderResult ParsePatchHeader(const uint8_t* image, int64_t length, PatchHeader& header) {
  if (image == nullptr || length < kPatchHeaderSize) return PatchHeaderResult::kShort;
  if (std::memcmp(image, kPatchMagic, sizeof(kPatchMagic)) != 0) {
    return PatchHeaderResult::kBadMagic;
  }
  PatchHeader read;
  if (!ReadPatchNumber(image + 8, read.ctrl_length) ||
      !ReadPatchNumber(image + 16, read.diff_length) ||
      !ReadPatchNumber(image + 24, read.new_size) || read.ctrl_length < 0 || read.diff_length < 0 ||
      read.new_size < 0) {
    return PatchHeaderResult::kBadNumber;
  }
  header = read;
  return PatchHeaderResult::kOk;
}

int ApplyPatchInMemory(const uint8_t* old_data, int64_t old_size, uint8_t* new_data,
                       int64_t new_size, const uint8_t* image, int64_t image_length,
                       std::string* message) {
  auto fail = [message](const std::string& text) {
    if (message != nullptr) *message = text;
    return -1;
  };
  static const char kCorrupt[] = "Corrupt patch\n";
  PatchHeader header;
  switch (ParsePatchHeader(image, image_length, header)) {
    case PatchHeaderResult::kOk:
      break;
    case PatchHeaderResult::kShort:
      return fail("fread(patchfile)");
    default:
      return fail(kCorrupt);
  }
  if (header.new_size != new_size) return fail("Corrupt param of newsize\n");
  if (old_size < 0 || (old_size > 0 && old_data == nullptr) ||
      (new_size > 0 && new_data == nullptr)) {
    return fail(kCorrupt);
  }
  const int64_t diff_start = kPatchHeaderSize + header.ctrl_length;
  if (diff_start > image_length) {
    return fail("fseeko(patchfile, " + std::to_string(diff_start) + ")");
  }
  const int64_t extra_start = diff_start + header.diff_length;
  if (extra_start > image_length) {
    return fail("fseeko(patchfile, " + std::to_string(extra_start) + ")");
  }

  int64_t ctrl_position = kPatchHeaderSize;
  int64_t diff_position = diff_start;
  int64_t extra_position = extra_start;
  int64_t new_position = 0;
  int64_t old_position = 0;
  while (new_position < new_size) {
    int64_t ctrl[3];
    for (int64_t& number : ctrl) {
      if (diff_start - ctrl_position < 8 || !ReadPatchNumber(image + ctrl_position, number)) {
        return fail(kCorrupt);
      }
      ctrl_position += 8;
    }
    const int64_t add = ctrl[0];
    const int64_t extra = ctrl[1];
    const int64_t seek = ctrl[2];
    if (add < 0 || extra < 0 || add > new_size - new_position ||
        add > extra_start - diff_position) {
      return fail(kCorrupt);
    }
    const int64_t low = std::max<int64_t>(old_position, 0);
    const int64_t high = std::min(old_position + add, old_size);
    AddStepBytes(new_data + new_position, image + diff_position, add, old_position, low, high,
                 low < high ? old_data + low : nullptr);
    diff_position += add;
    new_position += add;
    old_position += add;
    if (extra > new_size - new_position || extra > image_length - extra_position) {
      return fail(kCorrupt);
    }
    std::memcpy(new_data + new_position, image + extra_position, static_cast<size_t>(extra));
    extra_position += extra;
    new_position += extra;
    old_position += seek;
    if (old_position < -kOldPositionLimit || old_position > kOldPositionLimit) {
      return fail(kCorrupt);
    }
  }
  return 0;
}

int ApplyPatchStreamedCore(PatchOldReader& old_file, int64_t old_size, PatchNewWriter& new_file,
                           int64_t new_size, const uint8_t* image, int64_t image_length,
                           int& detail, const std::atomic<bool>* abort, size_t piece_size,
                           PatchBufferSource* buffers) {
  detail = 0;
  PatchHeader header;
  if (ParsePatchHeader(image, image_length, header) != PatchHeaderResult::kOk ||
      header.new_size != new_size || old_size < 0 || piece_size == 0) {
    return kPatchStreamBadHeader;
  }
  const int64_t diff_start = kPatchHeaderSize + header.ctrl_length;
  if (diff_start > image_length) return kPatchStreamDiffBeyondImage;
  const int64_t extra_start = diff_start + header.diff_length;
  if (extra_start > image_length) return kPatchStreamExtraBeyondImage;

  // Neither buffer needs to be larger than its file.
  const int64_t piece = static_cast<int64_t>(std::min<size_t>(piece_size, kMaxPatchRawSize));
  const size_t out_capacity = static_cast<size_t>(std::min(piece, std::max<int64_t>(new_size, 1)));
  const size_t window_capacity =
      static_cast<size_t>(std::min(piece, std::max<int64_t>(old_size, 1)));
  HeapBuffers heap;
  if (buffers == nullptr) buffers = &heap;
  std::unique_ptr<uint8_t[]> out = buffers->Allocate(out_capacity);
  if (!out) return kPatchStreamNoFirstBuffer;
  std::unique_ptr<uint8_t[]> window = buffers->Allocate(window_capacity);
  if (!window) return kPatchStreamNoSecondBuffer;

  StreamApplier applier(old_file, old_size, new_file, image, out.get(), out_capacity, window.get(),
                        window_capacity, static_cast<int64_t>(out_capacity) == piece, abort);
  applier.SetBlocks(diff_start, extra_start, extra_start, image_length);

  int64_t ctrl_position = kPatchHeaderSize;
  int64_t new_position = 0;
  int64_t old_position = 0;
  while (new_position < new_size) {
    int64_t ctrl[3];
    for (int64_t& number : ctrl) {
      if (diff_start - ctrl_position < 8) {
        detail = kPatchDetailCtrlShort;
        break;
      }
      if (!ReadPatchNumber(image + ctrl_position, number)) {
        detail = kPatchDetailBadCtrl;
        break;
      }
      ctrl_position += 8;
    }
    if (detail != 0) break;
    const int64_t add = ctrl[0];
    const int64_t extra = ctrl[1];
    const int64_t seek = ctrl[2];
    const int64_t next_old = old_position + add + seek;
    if (add < 0 || extra < 0 || add > new_size - new_position || next_old < -kOldPositionLimit ||
        next_old > kOldPositionLimit) {
      detail = kPatchDetailBadCtrl;
      break;
    }
    if (!applier.AddStep(add, old_position)) {
      detail = kPatchDetailAddFailed;
      break;
    }
    if (extra > new_size - new_position - add) {
      detail = kPatchDetailBeyondNewSize;
      break;
    }
    if (!applier.ExtraStep(extra)) {
      detail = kPatchDetailExtraFailed;
      break;
    }
    if (applier.Aborted()) {
      detail = kPatchDetailAborted;
      break;
    }
    old_position = next_old;
    new_position += add + extra;
  }
  // What was produced before a stop stays in the file, as an unbuffered
  // writer would have left it.
  if (!applier.Flush() && detail == 0) detail = applier.last_detail();
  return detail < 0 ? kPatchStreamStopped : kPatchStreamOk;
}
