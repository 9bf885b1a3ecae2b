// The container reader and both appliers on memory: every result code, the
// abort flag, the buffers, and the two appliers agreeing byte for byte.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "update/patch_core.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Triple {
  int64_t add;
  int64_t extra;
  int64_t seek;
};

void PutNumber(Bytes& out, int64_t value) {
  uint64_t magnitude = value < 0 ? static_cast<uint64_t>(-value) : static_cast<uint64_t>(value);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(magnitude >> (8 * i)));
  if (value < 0) out.back() |= 0x80;
}

Bytes CtrlBlock(const std::vector<Triple>& triples) {
  Bytes ctrl;
  for (const Triple& t : triples) {
    PutNumber(ctrl, t.add);
    PutNumber(ctrl, t.extra);
    PutNumber(ctrl, t.seek);
  }
  return ctrl;
}

Bytes Image(const Bytes& ctrl, const Bytes& diff, const Bytes& extra, int64_t new_size) {
  Bytes image = {'B', 'S', 'D', 'I', 'F', 'N', '4', '0'};
  PutNumber(image, static_cast<int64_t>(ctrl.size()));
  PutNumber(image, static_cast<int64_t>(diff.size()));
  PutNumber(image, new_size);
  image.insert(image.end(), ctrl.begin(), ctrl.end());
  image.insert(image.end(), diff.begin(), diff.end());
  image.insert(image.end(), extra.begin(), extra.end());
  return image;
}

Bytes Image(const std::vector<Triple>& triples, const Bytes& diff, const Bytes& extra) {
  int64_t size = 0;
  for (const Triple& t : triples) size += t.add + t.extra;
  return Image(CtrlBlock(triples), diff, extra, size);
}

// `bytes` with one byte replaced.
Bytes WithByte(Bytes bytes, size_t index, uint8_t value) {
  bytes[index] = value;
  return bytes;
}

Bytes Container(const Bytes& image, int64_t raw_size = -1) {
  uLongf packed_size = compressBound(static_cast<uLong>(image.size()));
  Bytes packed(packed_size);
  EXPECT_EQ(compress(packed.data(), &packed_size, image.data(), static_cast<uLong>(image.size())),
            Z_OK);
  packed.resize(packed_size);
  const uint32_t raw = static_cast<uint32_t>(raw_size < 0 ? image.size() : raw_size);
  Bytes out;
  for (uint32_t v : {raw, static_cast<uint32_t>(packed.size())}) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  out.insert(out.end(), packed.begin(), packed.end());
  return out;
}

// The rules of the format written out plainly, as the expected result.
Bytes Reference(const Bytes& old, const std::vector<Triple>& triples, const Bytes& diff,
                const Bytes& extra) {
  Bytes out;
  size_t d = 0;
  size_t e = 0;
  int64_t o = 0;
  for (const Triple& t : triples) {
    for (int64_t i = 0; i < t.add; ++i) {
      uint8_t byte = diff[d++];
      if (o + i >= 0 && o + i < static_cast<int64_t>(old.size())) {
        byte = static_cast<uint8_t>(byte + old[static_cast<size_t>(o + i)]);
      }
      out.push_back(byte);
    }
    for (int64_t i = 0; i < t.extra; ++i) out.push_back(extra[e++]);
    o += t.add + t.seek;
  }
  return out;
}

class MemoryOld : public PatchOldReader {
 public:
  explicit MemoryOld(const Bytes& bytes) : bytes_(bytes) {}
  bool ReadAt(int64_t position, uint8_t* buffer, size_t n) override {
    ++reads;
    if (fail || position < 0 ||
        position + static_cast<int64_t>(n) > static_cast<int64_t>(bytes_.size())) {
      return false;
    }
    std::memcpy(buffer, bytes_.data() + position, n);
    return true;
  }
  bool fail = false;
  int reads = 0;

 private:
  const Bytes& bytes_;
};

class MemoryNew : public PatchNewWriter {
 public:
  explicit MemoryNew(size_t limit) : limit_(limit) {}
  bool Write(const uint8_t* buffer, size_t n) override {
    ++writes;
    if (fail_at_write == writes) return false;
    // Nothing may ever be written beyond the new size.
    EXPECT_LE(bytes.size() + n, limit_);
    bytes.insert(bytes.end(), buffer, buffer + n);
    return true;
  }
  Bytes bytes;
  int writes = 0;
  int fail_at_write = 0;

 private:
  size_t limit_;
};

struct Outcome {
  int result;
  int detail;
  Bytes bytes;
};

Outcome Streamed(const Bytes& old, const Bytes& image, int64_t new_size, size_t piece,
                 const std::atomic<bool>* abort = nullptr) {
  MemoryOld reader(old);
  MemoryNew writer(static_cast<size_t>(new_size));
  Outcome out{};
  out.result = ApplyPatchStreamedCore(reader, static_cast<int64_t>(old.size()), writer, new_size,
                                      image.data(), static_cast<int64_t>(image.size()), out.detail,
                                      abort, piece);
  out.bytes = writer.bytes;
  return out;
}

int InMemory(const Bytes& old, const Bytes& image, int64_t new_size, Bytes& out,
             std::string* message = nullptr) {
  out.assign(static_cast<size_t>(new_size) + 1, 0xcc);
  const int result =
      ApplyPatchInMemory(old.data(), static_cast<int64_t>(old.size()), out.data(), new_size,
                         image.data(), static_cast<int64_t>(image.size()), message);
  out.resize(static_cast<size_t>(new_size));
  return result;
}

TEST(PatchCoreTest, ReadsSignMagnitudeNumbers) {
  struct Case {
    Bytes bytes;
    bool ok;
    int64_t value;
  };
  const std::vector<Case> cases = {
      {{0, 0, 0, 0, 0, 0, 0, 0}, true, 0},
      {{5, 0, 0, 0, 0, 0, 0, 0x80}, true, -5},
      {{0, 0, 0, 0, 0, 0, 0, 0x80}, true, 0},
      {{0xff, 0xff, 0xff, 0x7f, 0, 0, 0, 0}, true, 0x7fffffff},
      {{0xff, 0xff, 0xff, 0x7f, 0, 0, 0, 0x80}, true, -0x7fffffff},
      {{0, 0, 0, 0x80, 0, 0, 0, 0}, false, 0},     // bit 31
      {{1, 0, 0, 0, 1, 0, 0, 0}, false, 0},        // 2^32 + 1
      {{0, 0, 0, 0, 0, 0, 0, 0x7f}, false, 0},     // bit 62
      {{0, 0, 0, 0x80, 0, 0, 0, 0x80}, false, 0},  // -2^31
  };
  for (const Case& c : cases) {
    int64_t value = 12345;
    EXPECT_EQ(ReadPatchNumber(c.bytes.data(), value), c.ok);
    if (c.ok) {
      EXPECT_EQ(value, c.value);
    }
  }
}

// A source that gives its bytes in small reads and can fail a given read.
class ScriptedSource : public PatchByteSource {
 public:
  ScriptedSource(Bytes bytes, int fail_at_read, bool known_size)
      : bytes_(std::move(bytes)), fail_at_read_(fail_at_read), known_size_(known_size) {}
  bool Read(uint8_t* buffer, size_t n, size_t& got) override {
    got = 0;
    if (++reads_ == fail_at_read_) return false;
    got = std::min<size_t>({n, bytes_.size() - position_, 3});
    std::memcpy(buffer, bytes_.data() + position_, got);
    position_ += got;
    return true;
  }
  int64_t Remaining() const override {
    return known_size_ ? static_cast<int64_t>(bytes_.size() - position_) : -1;
  }

 private:
  Bytes bytes_;
  size_t position_ = 0;
  int reads_ = 0;
  int fail_at_read_;
  bool known_size_;
};

TEST(PatchCoreTest, ContainerReaderCodes) {
  const Bytes image = Image({{3, 1, 0}}, {1, 2, 3}, {9});
  const Bytes good = Container(image);
  Bytes garbage = good;
  garbage[8] ^= 0xff;  // the zlib header
  Bytes bad_check = good;
  bad_check.back() ^= 0x01;  // the Adler-32 trailer
  Bytes cut = good;
  cut.resize(good.size() - 3);
  struct Case {
    const char* name;
    Bytes bytes;
    int fail_at_read;
    bool known_size;
    int result;
  };
  const std::vector<Case> cases = {
      {"good", good, 0, true, 1},
      {"good, size unknown", good, 0, false, 1},
      {"raw size unreadable", good, 1, true, -1},
      {"raw size short", {1, 2}, 0, true, -2},
      {"packed size unreadable", good, 3, true, -3},  // 3-byte reads: the 3rd is the packed size
      {"packed size short", {40, 0, 0, 0, 8}, 0, true, -4},
      {"stream unreadable", good, 5, false, -5},
      {"stream beyond the file", cut, 0, true, -6},
      {"stream short", cut, 0, false, -6},
      {"not zlib", garbage, 0, true, -7},
      {"bad checksum", bad_check, 0, true, -7},
      {"inflates short", Container(image, static_cast<int64_t>(image.size()) + 1), 0, true, -7},
      {"inflates long", Container(image, static_cast<int64_t>(image.size()) - 1), 0, true, -7},
      {"raw size 2 GiB", Container(image, 0x80000000ll), 0, true, -7},
      {"raw size beyond the ratio", Container(image, 0x7fffffffll), 0, true, -7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedSource source(c.bytes, c.fail_at_read, c.known_size);
    PatchImage read;
    EXPECT_EQ(ReadPatchContainerFrom(source, read), c.result);
    if (c.result == 1) {
      ASSERT_EQ(read.size, static_cast<int64_t>(image.size()));
      EXPECT_EQ(Bytes(read.data.get(), read.data.get() + read.size), image);
    } else {
      EXPECT_EQ(read.data, nullptr);
    }
  }
  // Bytes after the stream are ignored; an empty stream is an empty image.
  Bytes trailing = good;
  trailing.insert(trailing.end(), {1, 2, 3});
  PatchImage read;
  EXPECT_EQ(ReadPatchContainerBytes(trailing.data(), trailing.size(), read), 1);
  const Bytes empty = Container({});
  EXPECT_EQ(ReadPatchContainerBytes(empty.data(), empty.size(), read), 1);
  EXPECT_EQ(read.size, 0);
  EXPECT_EQ(ReadPatchContainerBytes(nullptr, 0, read), -2);
}

TEST(PatchCoreTest, BothAppliersAgreeWithThePlainRules) {
  std::mt19937 rng(42);
  auto random_bytes = [&rng](size_t n) {
    Bytes out(n);
    for (uint8_t& b : out) b = static_cast<uint8_t>(rng());
    return out;
  };
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const Bytes old = random_bytes(rng() % 3000);
    std::vector<Triple> triples;
    Bytes diff;
    Bytes extra;
    const int count = 1 + static_cast<int>(rng() % 12);
    for (int i = 0; i < count; ++i) {
      Triple t{static_cast<int64_t>(rng() % 700), static_cast<int64_t>(rng() % 300),
               static_cast<int64_t>(rng() % 2000) - 1000};
      triples.push_back(t);
      const Bytes d = random_bytes(static_cast<size_t>(t.add));
      const Bytes e = random_bytes(static_cast<size_t>(t.extra));
      diff.insert(diff.end(), d.begin(), d.end());
      extra.insert(extra.end(), e.begin(), e.end());
    }
    const Bytes image = Image(triples, diff, extra);
    const Bytes expected = Reference(old, triples, diff, extra);
    Bytes in_memory;
    ASSERT_EQ(InMemory(old, image, static_cast<int64_t>(expected.size()), in_memory), 0);
    EXPECT_EQ(in_memory, expected);
    for (size_t piece : {size_t{1}, size_t{7}, size_t{64}, size_t{1000}, kPatchPieceSize}) {
      SCOPED_TRACE(piece);
      const Outcome streamed = Streamed(old, image, static_cast<int64_t>(expected.size()), piece);
      ASSERT_EQ(streamed.result, 0);
      EXPECT_EQ(streamed.detail, 0);
      EXPECT_EQ(streamed.bytes, expected);
    }
  }
}

TEST(PatchCoreTest, StreamedResultCodes) {
  const Bytes old(100, 1);
  const Bytes good = Image({{10, 2, 0}}, Bytes(10, 1), {7, 8});
  Bytes bad_magic = good;
  bad_magic[7] = '1';
  struct Case {
    const char* name;
    Bytes image;
    int64_t new_size;
    int result;
    int detail;
  };
  const std::vector<Case> cases = {
      {"good", good, 12, 0, 0},
      {"short image", Bytes(good.begin(), good.begin() + 31), 12, -6, 0},
      {"bad magic", bad_magic, 12, -6, 0},
      {"new size not the header's", good, 13, -6, 0},
      {"unused ctrl, new size 0", Image(Bytes(24, 0), {}, {}, 0), 0, 0, 0},
      {"diff block beyond image", WithByte(Image({}, {}, {}, 0), 16, 1), 0, -9, 0},
      {"ctrl block beyond image", WithByte(Image({}, {}, {}, 0), 8, 1), 0, -8, 0},
      {"ctrl cut short", Image(Bytes(16, 0), {}, {}, 1), 1, -12, kPatchDetailCtrlShort},
      {"negative add", Image(CtrlBlock({{-1, 1, 0}}), {}, {5}, 1), 1, -12, kPatchDetailBadCtrl},
      {"negative extra", Image(CtrlBlock({{1, -1, 0}}), {0}, {}, 1), 1, -12, kPatchDetailBadCtrl},
      {"add beyond new", Image(CtrlBlock({{5, 0, 0}}), Bytes(5), {}, 4), 4, -12,
       kPatchDetailBadCtrl},
      {"far seek", Image({{1, 0, 1ll << 30}, {1, 0, 0}}, Bytes(2), {}), 2, 0, 0},
      {"diff short", Image(CtrlBlock({{4, 0, 0}}), Bytes(2), {}, 4), 4, -12, kPatchDetailAddFailed},
      {"beyond new size", Image(CtrlBlock({{2, 3, 0}}), Bytes(2), {1, 2, 3}, 4), 4, -12,
       kPatchDetailBeyondNewSize},
      {"extra short", Image(CtrlBlock({{0, 4, 0}}), {}, {1, 2}, 4), 4, -12,
       kPatchDetailExtraFailed},
      {"new size 0", Image({}, {}, {}, 0), 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome out = Streamed(old, c.image, c.new_size, 4);
    EXPECT_EQ(out.result, c.result);
    EXPECT_EQ(out.detail, c.detail);
  }
  // Seeks that walk the old position beyond any file stop the patch.
  std::vector<Triple> walk(600, Triple{0, 1, 0x7fffffff});
  const Bytes far = Image(walk, {}, Bytes(600, 1));
  const Outcome out = Streamed(old, far, 600, 64);
  EXPECT_EQ(out.result, -12);
  EXPECT_EQ(out.detail, kPatchDetailBadCtrl);
  Bytes memory;
  EXPECT_EQ(InMemory(old, far, 600, memory), -1);
}

TEST(PatchCoreTest, StreamedFailuresOfTheFiles) {
  const Bytes old(64, 3);
  const Bytes image = Image({{20, 20, 0}}, Bytes(20, 1), Bytes(20, 2));
  {
    MemoryOld reader(old);
    reader.fail = true;
    MemoryNew writer(40);
    int detail = 0;
    EXPECT_EQ(ApplyPatchStreamedCore(reader, 64, writer, 40, image.data(),
                                     static_cast<int64_t>(image.size()), detail, nullptr, 8),
              -12);
    EXPECT_EQ(detail, kPatchDetailAddFailed);
  }
  struct WriteCase {
    std::vector<Triple> triples;
    int fail_at_write;
    int detail;
  };
  // Pieces of 8: writes 1 and 2 hold add bytes; write 3 is completed by the
  // extra step; an odd size ends in a final write of what is left.
  const std::vector<WriteCase> cases = {
      {{{20, 20, 0}}, 1, kPatchDetailAddFailed},   {{{20, 20, 0}}, 2, kPatchDetailAddFailed},
      {{{20, 20, 0}}, 3, kPatchDetailExtraFailed}, {{{20, 20, 0}}, 5, kPatchDetailExtraFailed},
      {{{20, 21, 0}}, 6, kPatchDetailExtraFailed}, {{{21, 0, 0}}, 3, kPatchDetailAddFailed},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.fail_at_write);
    const Triple& t = c.triples[0];
    const Bytes patch = Image(c.triples, Bytes(static_cast<size_t>(t.add), 1),
                              Bytes(static_cast<size_t>(t.extra), 2));
    MemoryOld reader(old);
    MemoryNew writer(static_cast<size_t>(t.add + t.extra));
    writer.fail_at_write = c.fail_at_write;
    int detail = 0;
    EXPECT_EQ(ApplyPatchStreamedCore(reader, 64, writer, t.add + t.extra, patch.data(),
                                     static_cast<int64_t>(patch.size()), detail, nullptr, 8),
              -12);
    EXPECT_EQ(detail, c.detail);
    EXPECT_EQ(writer.writes, c.fail_at_write);  // nothing is written after a failed write
  }
}

class RefusingBuffers : public PatchBufferSource {
 public:
  explicit RefusingBuffers(int refuse_from) : refuse_from_(refuse_from) {}
  std::unique_ptr<uint8_t[]> Allocate(size_t n) override {
    if (++calls >= refuse_from_) return nullptr;
    sizes.push_back(n);
    return std::unique_ptr<uint8_t[]>(new uint8_t[n]);
  }
  int calls = 0;
  std::vector<size_t> sizes;

 private:
  int refuse_from_;
};

TEST(PatchCoreTest, StreamedBuffers) {
  const Bytes old(1000, 3);
  const Bytes image = Image({{10, 0, 0}}, Bytes(10, 1), {});
  for (int refuse_from : {1, 2}) {
    MemoryOld reader(old);
    MemoryNew writer(10);
    RefusingBuffers buffers(refuse_from);
    int detail = 0;
    EXPECT_EQ(ApplyPatchStreamedCore(reader, 1000, writer, 10, image.data(),
                                     static_cast<int64_t>(image.size()), detail, nullptr,
                                     kPatchPieceSize, &buffers),
              refuse_from == 1 ? -10 : -11);
    EXPECT_TRUE(writer.bytes.empty());
  }
  // Neither buffer is larger than its file needs, nor than a piece.
  MemoryOld reader(old);
  MemoryNew writer(10);
  RefusingBuffers buffers(3);
  int detail = 0;
  EXPECT_EQ(ApplyPatchStreamedCore(reader, 1000, writer, 10, image.data(),
                                   static_cast<int64_t>(image.size()), detail, nullptr,
                                   kPatchPieceSize, &buffers),
            0);
  EXPECT_EQ(buffers.sizes, (std::vector<size_t>{10, 1000}));
}

TEST(PatchCoreTest, AbortStopsAfterAWholePieceOrBetweenTriples) {
  const Bytes old(200, 1);
  std::atomic<bool> abort{true};
  // An add step of three pieces: the first is written, then the stop.
  const Bytes add_image = Image({{40, 0, 0}}, Bytes(40, 2), {});
  Outcome out = Streamed(old, add_image, 40, 16, &abort);
  EXPECT_EQ(out.result, -12);
  EXPECT_EQ(out.detail, kPatchDetailAddFailed);
  EXPECT_EQ(out.bytes, Bytes(16, 3));
  // The same inside an extra step.
  const Bytes extra_image = Image({{0, 40, 0}}, {}, Bytes(40, 9));
  out = Streamed(old, extra_image, 40, 16, &abort);
  EXPECT_EQ(out.result, -12);
  EXPECT_EQ(out.detail, kPatchDetailExtraFailed);
  EXPECT_EQ(out.bytes, Bytes(16, 9));
  // No whole piece: the flag is seen after the first triple, whose bytes stay.
  const Bytes two = Image({{3, 1, 0}, {2, 0, 0}}, Bytes(5, 0), {7});
  out = Streamed(old, two, 6, 64, &abort);
  EXPECT_EQ(out.result, -12);
  EXPECT_EQ(out.detail, kPatchDetailAborted);
  EXPECT_EQ(out.bytes, (Bytes{1, 1, 1, 7}));
  // A clear flag changes nothing.
  abort = false;
  out = Streamed(old, add_image, 40, 16, &abort);
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.bytes, Bytes(40, 3));
}

TEST(PatchCoreTest, InMemoryMessages) {
  const Bytes old(10, 1);
  const Bytes good = Image({{2, 1, 0}}, {1, 1}, {5});
  Bytes bad_magic = good;
  bad_magic[0] = 'X';
  Bytes negative = good;
  negative[31] |= 0x80;
  Bytes ctrl_beyond = Image({}, {}, {}, 0);
  ctrl_beyond[8] = 0xe8;  // 1000
  ctrl_beyond[9] = 0x03;
  Bytes diff_beyond = Image({}, {}, {}, 0);
  diff_beyond[16] = 1;
  struct Case {
    const char* name;
    Bytes image;
    int64_t new_size;
    int result;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"good", good, 3, 0, ""},
      {"short", Bytes(good.begin(), good.begin() + 20), 3, -1, "fread(patchfile)"},
      {"magic", bad_magic, 3, -1, "Corrupt patch\n"},
      {"negative", negative, 3, -1, "Corrupt patch\n"},
      {"new size", good, 4, -1, "Corrupt param of newsize\n"},
      {"ctrl beyond", ctrl_beyond, 0, -1, "fseeko(patchfile, 1032)"},
      {"diff beyond", diff_beyond, 0, -1, "fseeko(patchfile, 33)"},
      {"ctrl short", Image(Bytes(8, 0), {}, {}, 1), 1, -1, "Corrupt patch\n"},
      {"extra short", Image(CtrlBlock({{0, 2, 0}}), {}, {1}, 2), 2, -1, "Corrupt patch\n"},
      {"size 0", Image({}, {}, {}, 0), 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out;
    std::string message;
    EXPECT_EQ(InMemory(old, c.image, c.new_size, out, &message), c.result);
    EXPECT_EQ(message, c.message);
  }
  Bytes out;
  ASSERT_EQ(InMemory(old, good, 3, out), 0);
  EXPECT_EQ(out, (Bytes{2, 2, 5}));
}

}  // namespace
