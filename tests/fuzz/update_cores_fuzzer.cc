// libFuzzer target over the update engine's readers of network data, built
// natively with clang, AddressSanitizer and UndefinedBehaviorSanitizer:
//  - mode 0: a version-map text through the JSON reader and the map
//    validator; a map that passes must hold only safe paths and real digests
//    and must read back the same after writing;
//  - mode 1: a patch container through the container reader, then the image
//    through both appliers;
//  - mode 2: a raw image through both appliers (the fuzzer mutates it
//    directly, without zlib in the way).
// Input: one mode byte; for modes 1 and 2 then the old file's length (u16
// little-endian) and bytes, then the container or image.
//
// The two appliers must agree: both succeed with the same bytes, or both fail;
// the streamed one never writes beyond the new size.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "app/file_util.h"
#include "update/patch_core.h"
#include "update/version_map_core.h"

namespace {

// New files above this are not worth the fuzzer's time (and memory).
constexpr int64_t kLargestNewFile = int64_t{1} << 20;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

void FuzzMap(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Json::Value root;
  try {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors) || !errors.empty()) {
      return;
    }
  } catch (const std::exception&) {
    return;
  }
  VersionMap map = {{"sentinel", {std::string(32, 'a'), 1}}};
  std::string error;
  if (!VersionMapFromJson(root, map, error)) {
    Check(!error.empty(), "a refused map says why");
    Check(map.size() == 1 && map.count("sentinel") == 1, "a refused map leaves the old one");
    return;
  }
  for (const auto& item : map) {
    if (item.first == kMapVersionEntry) continue;
    Check(IsSafeRelativePath(item.first), "every path is safe");
    Check(IsValidMd5Text(item.second.md5), "every md5 is a digest");
    Check(item.second.size >= 0, "every size is a size");
  }
  Json::Value written;
  Check(VersionMapToJson(map, "1_2_3", written, error), "an accepted map can be written");
  const std::string out = StyledJsonText(written);
  Check(!out.empty(), "the writer gives text");
  Json::Value reread;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  Check(reader->parse(out.data(), out.data() + out.size(), &reread, &errors),
        "written text parses");
  VersionMap back;
  Check(VersionMapFromJson(reread, back, error), "written map reads back");
  VersionMap files = map;
  files.erase(kMapVersionEntry);
  Check(back == files, "written map reads back the same");

  VersionMap local = files;
  VersionMap update;
  std::vector<std::string> local_only;
  DiffVersionMaps(local, map, update, local_only);
  Check(update.empty() && local.empty() && local_only.empty(), "a map equals itself");
}

class VectorOld : public PatchOldReader {
 public:
  VectorOld(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool ReadAt(int64_t position, uint8_t* buffer, size_t n) override {
    Check(position >= 0 && static_cast<uint64_t>(position) + n <= size_, "old reads stay inside");
    if (n > 0) std::memcpy(buffer, data_ + position, n);
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

class VectorNew : public PatchNewWriter {
 public:
  explicit VectorNew(size_t limit) : limit_(limit) {}
  bool Write(const uint8_t* buffer, size_t n) override {
    Check(bytes.size() + n <= limit_, "nothing is written beyond the new size");
    bytes.insert(bytes.end(), buffer, buffer + n);
    return true;
  }
  std::vector<uint8_t> bytes;

 private:
  size_t limit_;
};

void FuzzImage(const uint8_t* old_data, size_t old_size, const uint8_t* image, int64_t length,
               size_t piece) {
  PatchHeader header;
  if (ParsePatchHeader(image, length, header) != PatchHeaderResult::kOk) {
    uint8_t none = 0;
    Check(ApplyPatchInMemory(old_data, static_cast<int64_t>(old_size), &none, 0, image, length,
                             nullptr) == -1,
          "a bad header fails in memory");
    VectorOld reader(old_data, old_size);
    VectorNew writer(0);
    int detail = 0;
    Check(ApplyPatchStreamedCore(reader, static_cast<int64_t>(old_size), writer, 0, image, length,
                                 detail, nullptr, piece) == kPatchStreamBadHeader,
          "a bad header fails streamed");
    return;
  }
  if (header.new_size > kLargestNewFile) return;
  const size_t new_size = static_cast<size_t>(header.new_size);
  std::vector<uint8_t> in_memory(new_size + 1);
  std::string message;
  const int memory_result =
      ApplyPatchInMemory(old_data, static_cast<int64_t>(old_size), in_memory.data(),
                         header.new_size, image, length, &message);
  Check(memory_result == 0 || memory_result == -1, "in-memory result codes");
  Check(memory_result == 0 || !message.empty(), "a failure says why");

  VectorOld reader(old_data, old_size);
  VectorNew writer(new_size);
  int detail = 0;
  const int streamed_result =
      ApplyPatchStreamedCore(reader, static_cast<int64_t>(old_size), writer, header.new_size, image,
                             length, detail, nullptr, piece);
  Check((streamed_result == 0) == (memory_result == 0), "both appliers agree on success");
  Check((streamed_result == kPatchStreamStopped) == (detail != 0), "a detail only with a stop");
  if (memory_result == 0) {
    in_memory.resize(new_size);
    Check(writer.bytes == in_memory, "both appliers write the same bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int mode = data[0] % 3;
  ++data;
  --size;
  if (mode == 0) {
    FuzzMap(data, size);
    return 0;
  }
  if (size < 2) return 0;
  size_t old_size = static_cast<size_t>(data[0]) | static_cast<size_t>(data[1]) << 8;
  data += 2;
  size -= 2;
  if (old_size > size) old_size = size;
  // Copies, so that the sanitizer sees the exact extent of each part.
  const std::vector<uint8_t> old_bytes(data, data + old_size);
  const std::vector<uint8_t> rest(data + old_size, data + size);
  const size_t piece = 1 + (old_size % 61);
  if (mode == 1) {
    PatchImage image;
    const int result = ReadPatchContainerBytes(rest.data(), rest.size(), image);
    Check(result == 1 || (result <= -1 && result >= -7), "container result codes");
    if (result != 1) return 0;
    Check(image.size >= 0 && image.size <= static_cast<int64_t>(kMaxPatchRawSize), "image size");
    FuzzImage(old_bytes.data(), old_bytes.size(), image.data.get(), image.size, piece);
    return 0;
  }
  FuzzImage(old_bytes.data(), old_bytes.size(), rest.data(), static_cast<int64_t>(rest.size()),
            piece);
  return 0;
}
