#include "ui/zip_reader.h"

#include <minizip/ioapi.h>
#include <minizip/unzip.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "base/text_util.h"

namespace ui {

namespace {

// More entries than any package holds; a directory claiming more is damaged.
constexpr size_t kMaxEntries = 1u << 18;
// Compressed bytes fetched from the source per read.
constexpr unsigned kInputChunk = 64 * 1024;
// The largest position a file handle can take.
constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<LONGLONG>::max());
// Seconds between 1 January 1601 and 1 January 1970.
constexpr int64_t kUnixEpochInFileTimeSeconds = 11644473600LL;

}  // namespace

// Where minizip's reads go: a file handle (positions relative to where the
// handle stood at open) or a memory block.
struct ZipArchive::Source {
  bool isHandle = false;
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool closeHandle = false;
  bool failed = false;
  uint64_t initialOffset = 0;
  const unsigned char* memory = nullptr;
  uint64_t length = 0;
  uint64_t position = 0;

  Source() = default;
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;
  ~Source() {
    if (closeHandle && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }

  uLong Read(void* buf, uLong size) {
    if (size == 0) return 0;
    if (!isHandle) {
      if (position >= length) return 0;
      uint64_t n = std::min<uint64_t>(size, length - position);
      std::memcpy(buf, memory + position, static_cast<size_t>(n));
      position += n;
      return static_cast<uLong>(n);
    }
    // Positioned before every read: a handle given by the caller may have
    // been moved since the last one.
    uint64_t at = initialOffset + position;
    if (at < position || at > kMaxOffset) {
      failed = true;
      return 0;
    }
    LARGE_INTEGER where = {};
    where.QuadPart = static_cast<LONGLONG>(at);
    if (!SetFilePointerEx(handle, where, nullptr, FILE_BEGIN)) {
      failed = true;
      return 0;
    }
    uLong total = 0;
    while (total < size) {
      DWORD got = 0;
      if (!ReadFile(handle, static_cast<char*>(buf) + total, size - total, &got, nullptr)) {
        failed = true;
        break;
      }
      if (got == 0) break;
      total += got;
    }
    position += total;
    return total;
  }

  long Seek(uint64_t offset, int origin) {
    uint64_t base = 0;
    switch (origin) {
      case ZLIB_FILEFUNC_SEEK_SET:
        break;
      case ZLIB_FILEFUNC_SEEK_CUR:
        base = position;
        break;
      case ZLIB_FILEFUNC_SEEK_END:
        if (!Size(base)) {
          failed = true;
          return -1;
        }
        break;
      default:
        return -1;
    }
    if (offset > kMaxOffset || base > kMaxOffset - offset) return -1;
    position = base + offset;
    return 0;
  }

  // The size of the source as minizip sees it, or false when unknown.
  bool Size(uint64_t& size) {
    if (!isHandle) {
      size = length;
      return true;
    }
    LARGE_INTEGER file_size = {};
    if (!GetFileSizeEx(handle, &file_size) || file_size.QuadPart < 0) return false;
    uint64_t total = static_cast<uint64_t>(file_size.QuadPart);
    size = total > initialOffset ? total - initialOffset : 0;
    return true;
  }
};

// What the archive's directory says of one entry, read once at open.
struct ZipArchive::Record {
  unz64_file_pos pos = {};
  std::string name;
  uint64_t compressed = 0;
  uint64_t uncompressed = 0;
  uint32_t crc = 0;
  uint32_t flag = 0;
  uint32_t method = 0;
  uint32_t versionMadeBy = 0;
  uint32_t externalAttr = 0;
  uint32_t dosDate = 0;
};

// The entry being decompressed. minizip hands over the raw stored bytes and
// the inflating happens here, so that the declared size and the end of the
// deflate stream can both be checked.
struct ZipArchive::OpenEntry {
  uint32_t method = 0;
  uint64_t remaining = 0;
  uint32_t crc = 0;
  uint32_t expectedCrc = 0;
  z_stream zs = {};
  bool zsInit = false;
  bool inputEnded = false;
  bool streamEnded = false;
  std::vector<unsigned char> input;

  OpenEntry() = default;
  OpenEntry(const OpenEntry&) = delete;
  OpenEntry& operator=(const OpenEntry&) = delete;
  ~OpenEntry() {
    if (zsInit) inflateEnd(&zs);
  }
};

namespace {

voidpf ZCALLBACK SourceOpen(voidpf opaque, const void* /*filename*/, int mode) {
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
  return opaque;
}

uLong ZCALLBACK SourceWrite(voidpf, voidpf, const void*, uLong) { return 0; }

int ZCALLBACK SourceClose(voidpf, voidpf) {
  // The archive owns the source and releases it itself.
  return 0;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameNameIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

FILETIME FileTimeOfUnixSeconds(int32_t seconds) {
  uint64_t ticks =
      static_cast<uint64_t>(static_cast<int64_t>(seconds) + kUnixEpochInFileTimeSeconds) *
      10000000ULL;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

// The DOS date and time of the directory (local time, date in the high half)
// as a UTC file time; all zero when the stored value is not a valid date.
FILETIME FileTimeOfDosDate(uint32_t dos) {
  SYSTEMTIME st = {};
  st.wYear = static_cast<WORD>((dos >> 25) + 1980);
  st.wMonth = static_cast<WORD>((dos >> 21) & 15);
  st.wDay = static_cast<WORD>((dos >> 16) & 31);
  st.wHour = static_cast<WORD>((dos >> 11) & 31);
  st.wMinute = static_cast<WORD>((dos >> 5) & 63);
  st.wSecond = static_cast<WORD>((dos & 31) * 2);
  FILETIME local = {};
  FILETIME utc = {};
  if (!SystemTimeToFileTime(&st, &local) || !LocalFileTimeToFileTime(&local, &utc)) {
    return FILETIME{};
  }
  return utc;
}

uint32_t ReadLe32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Applies an extended-timestamp ("UT") block of a local extra field, if any.
void ApplyExtendedTimes(const std::vector<unsigned char>& extra, ZipEntry& entry) {
  size_t pos = 0;
  while (pos + 4 <= extra.size()) {
    size_t data_size =
        static_cast<size_t>(extra[pos + 2]) | (static_cast<size_t>(extra[pos + 3]) << 8);
    size_t data = pos + 4;
    size_t end = std::min(extra.size(), data + data_size);
    if (extra[pos] == 'U' && extra[pos + 1] == 'T') {
      if (data >= end) return;
      unsigned flags = extra[data];
      size_t p = data + 1;
      FILETIME* targets[3] = {&entry.modificationTime, &entry.accessTime, &entry.creationTime};
      for (unsigned bit = 0; bit < 3; ++bit) {
        if ((flags & (1u << bit)) == 0) continue;
        if (p + 4 > end) return;
        *targets[bit] = FileTimeOfUnixSeconds(static_cast<int32_t>(ReadLe32(&extra[p])));
        p += 4;
      }
      return;
    }
    pos = data + data_size;
  }
}

uint32_t AttributesOf(uint32_t external, uint32_t version_made_by) {
  bool directory = (external & 0x40000000u) != 0;
  bool read_only = (external & 0x00800000u) == 0;
  bool archive = true;
  bool hidden = false;
  bool system = false;
  uint32_t host = version_made_by >> 8;
  if (host == 0 || host == 7 || host == 11 || host == 14) {
    read_only = (external & 0x01) != 0;
    hidden = (external & 0x02) != 0;
    system = (external & 0x04) != 0;
    directory = (external & 0x10) != 0;
    archive = (external & 0x20) != 0;
  }
  uint32_t attributes = 0;
  if (directory) attributes |= kZipAttrDirectory;
  if (archive) attributes |= kZipAttrArchive;
  if (hidden) attributes |= kZipAttrHidden;
  if (read_only) attributes |= kZipAttrReadOnly;
  if (system) attributes |= kZipAttrSystem;
  return attributes;
}

uint32_t ReadErrorCode(int minizip_result) {
  return minizip_result == UNZ_ERRNO ? kZipReadFailed : kZipInflateFailed;
}

}  // namespace

bool IsSafeZipEntryName(const std::string& utf8_name) {
  if (utf8_name.empty() || IsSeparator(utf8_name[0])) return false;
  for (char c : utf8_name) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == ':') return false;
  }
  size_t start = 0;
  while (start <= utf8_name.size()) {
    size_t end = start;
    while (end < utf8_name.size() && !IsSeparator(utf8_name[end])) ++end;
    if (end - start == 2 && utf8_name[start] == '.' && utf8_name[start + 1] == '.') return false;
    start = end + 1;
  }
  return true;
}

ZipArchive::ZipArchive() = default;

ZipArchive::~ZipArchive() {
  CloseEntryLocked();
  if (unzip_ != nullptr) unzClose(static_cast<unzFile>(unzip_));
  unzip_ = nullptr;
}

std::unique_ptr<ZipArchive> ZipArchive::Open(const void* source, uint64_t length, int kind,
                                             const char* password, uint32_t* result) {
  auto report = [result](uint32_t code) {
    if (result != nullptr) *result = code;
  };
  auto src = std::make_unique<Source>();
  switch (kind) {
    case kZipSourceHandle: {
      HANDLE handle = const_cast<HANDLE>(source);
      if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        report(kZipBadArgument);
        return nullptr;
      }
      LARGE_INTEGER zero = {};
      LARGE_INTEGER current = {};
      if (!SetFilePointerEx(handle, zero, &current, FILE_CURRENT) || current.QuadPart < 0) {
        report(kZipCannotSeek);
        return nullptr;
      }
      src->isHandle = true;
      src->handle = handle;
      src->initialOffset = static_cast<uint64_t>(current.QuadPart);
      break;
    }
    case kZipSourceFileName: {
      const wchar_t* path = static_cast<const wchar_t*>(source);
      if (path == nullptr) {
        report(kZipBadArgument);
        return nullptr;
      }
      HANDLE handle = path[0] == L'\0' ? INVALID_HANDLE_VALUE
                                       : CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle == INVALID_HANDLE_VALUE) {
        report(kZipCannotOpen);
        return nullptr;
      }
      src->isHandle = true;
      src->handle = handle;
      src->closeHandle = true;
      break;
    }
    case kZipSourceMemory:
      if (source == nullptr && length > 0) {
        report(kZipBadArgument);
        return nullptr;
      }
      src->memory = static_cast<const unsigned char*>(source);
      src->length = length;
      break;
    default:
      report(kZipBadArgument);
      return nullptr;
  }

  zlib_filefunc64_def funcs = {};
  funcs.zopen64_file = SourceOpen;
  funcs.zread_file = [](voidpf, voidpf stream, void* buf, uLong size) -> uLong {
    return static_cast<Source*>(stream)->Read(buf, size);
  };
  funcs.zwrite_file = SourceWrite;
  funcs.ztell64_file = [](voidpf, voidpf stream) -> ZPOS64_T {
    return static_cast<Source*>(stream)->position;
  };
  funcs.zseek64_file = [](voidpf, voidpf stream, ZPOS64_T offset, int origin) -> long {
    return static_cast<Source*>(stream)->Seek(offset, origin);
  };
  funcs.zclose_file = SourceClose;
  funcs.zerror_file = [](voidpf, voidpf stream) -> int {
    return static_cast<Source*>(stream)->failed ? 1 : 0;
  };
  funcs.opaque = src.get();

  unzFile uf = unzOpen2_64("package", &funcs);
  if (uf == nullptr) {
    report(kZipCannotOpen);
    return nullptr;
  }
  std::unique_ptr<ZipArchive> archive(new ZipArchive());
  archive->source_ = std::move(src);
  archive->unzip_ = uf;
  if (password != nullptr) {
    archive->password_ = password;
    archive->has_password_ = true;
  }
  uint32_t code = archive->Load();
  report(code);
  if (code != kZipOk) return nullptr;
  return archive;
}

std::unique_ptr<ZipArchive> ZipArchive::OpenFile(const std::wstring& path, uint32_t* result) {
  if (path.find(L'\0') != std::wstring::npos) {
    if (result != nullptr) *result = kZipCannotOpen;
    return nullptr;
  }
  return Open(path.c_str(), 0, kZipSourceFileName, nullptr, result);
}

std::unique_ptr<ZipArchive> ZipArchive::OpenHandle(HANDLE file, uint32_t* result) {
  return Open(file, 0, kZipSourceHandle, nullptr, result);
}

std::unique_ptr<ZipArchive> ZipArchive::OpenMemory(const void* data, size_t size,
                                                   uint32_t* result) {
  return Open(data, size, kZipSourceMemory, nullptr, result);
}

uint32_t ZipArchive::Load() {
  unzFile uf = static_cast<unzFile>(unzip_);
  unz_global_info64 global = {};
  if (unzGetGlobalInfo64(uf, &global) != UNZ_OK) return kZipCannotOpen;
  if (global.number_entry == 0) return kZipOk;
  int err = unzGoToFirstFile(uf);
  while (err == UNZ_OK) {
    if (records_.size() >= kMaxEntries) return kZipCannotOpen;
    Record record;
    if (unzGetFilePos64(uf, &record.pos) != UNZ_OK) return kZipCannotOpen;
    unz_file_info64 info = {};
    if (unzGetCurrentFileInfo64(uf, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
      return kZipCannotOpen;
    }
    if (info.size_filename > 0) {
      record.name.assign(info.size_filename, '\0');
      if (unzGetCurrentFileInfo64(uf, &info, &record.name[0], info.size_filename, nullptr, 0,
                                  nullptr, 0) != UNZ_OK) {
        return kZipCannotOpen;
      }
    }
    record.compressed = info.compressed_size;
    record.uncompressed = info.uncompressed_size;
    record.crc = static_cast<uint32_t>(info.crc);
    record.flag = static_cast<uint32_t>(info.flag);
    record.method = static_cast<uint32_t>(info.compression_method);
    record.versionMadeBy = static_cast<uint32_t>(info.version);
    record.externalAttr = static_cast<uint32_t>(info.external_fa);
    record.dosDate = static_cast<uint32_t>(info.dosDate);
    records_.push_back(std::move(record));
    err = unzGoToNextFile(uf);
  }
  return err == UNZ_END_OF_LIST_OF_FILE ? kZipOk : kZipCannotOpen;
}

uint32_t ZipArchive::CheckRecord(const Record& record) const {
  if (!IsSafeZipEntryName(record.name)) return kZipUnsafeName;
  if (record.compressed > kZipMaxEntrySize || record.uncompressed > kZipMaxEntrySize) {
    return kZipEntryTooLarge;
  }
  return kZipOk;
}

int ZipArchive::EntryCount() const {
  nbase::AutoLock hold(lock_);
  return static_cast<int>(records_.size());
}

uint32_t ZipArchive::GetEntry(int index, ZipEntry& out) {
  nbase::AutoLock hold(lock_);
  return GetEntryLocked(index, out);
}

uint32_t ZipArchive::FindEntry(const std::wstring& name, int& index, ZipEntry* out) {
  nbase::AutoLock hold(lock_);
  return FindEntryLocked(name, index, out);
}

uint32_t ZipArchive::Unzip(int index, void* buffer, uint32_t length) {
  nbase::AutoLock hold(lock_);
  return UnzipLocked(index, buffer, length);
}

uint32_t ZipArchive::ReadEntry(const std::wstring& name, std::string& out) {
  nbase::AutoLock hold(lock_);
  out.clear();
  int index = -1;
  uint32_t code = FindEntryLocked(name, index, nullptr);
  if (code != kZipOk) return code;
  return ReadEntryAtLocked(index, out);
}

uint32_t ZipArchive::ReadEntryAt(int index, std::string& out) {
  nbase::AutoLock hold(lock_);
  return ReadEntryAtLocked(index, out);
}

// Positions the reader on the record's local header and opens its data
// raw: the local header is checked against the directory and the local extra
// field found, without starting any decompression.
uint32_t ZipArchive::OpenRawLocked(const Record& record) {
  unzFile uf = static_cast<unzFile>(unzip_);
  unz64_file_pos pos = record.pos;
  if (unzGoToFilePos64(uf, &pos) != UNZ_OK) return kZipReadFailed;
  int method = 0;
  int level = 0;
  const int opened = unzOpenCurrentFile2(uf, &method, &level, 1);
  if (opened == UNZ_OK) return kZipOk;
  unzCloseCurrentFile(uf);
  return opened == UNZ_ERRNO ? kZipReadFailed : kZipBadLocalHeader;
}

uint32_t ZipArchive::GetEntryLocked(int index, ZipEntry& out) {
  if (index < 0 || static_cast<size_t>(index) >= records_.size()) return kZipBadArgument;
  CloseEntryLocked();
  if (cached_index_ == index) {
    out = cached_entry_;
    return kZipOk;
  }
  const Record& record = records_[static_cast<size_t>(index)];
  uint32_t check = CheckRecord(record);
  if (check != kZipOk) return check;

  unzFile uf = static_cast<unzFile>(unzip_);
  const uint32_t opened = OpenRawLocked(record);
  if (opened != kZipOk) return opened;
  std::vector<unsigned char> extra;
  int extra_size = unzGetLocalExtrafield(uf, nullptr, 0);
  if (extra_size < 0) {
    unzCloseCurrentFile(uf);
    return kZipReadFailed;
  }
  if (extra_size > 0) {
    extra.resize(static_cast<size_t>(extra_size));
    int got = unzGetLocalExtrafield(uf, extra.data(), static_cast<unsigned>(extra_size));
    if (got != extra_size) {
      unzCloseCurrentFile(uf);
      return kZipReadFailed;
    }
  }
  unzCloseCurrentFile(uf);

  ZipEntry entry;
  entry.index = index;
  TextUtil::Utf8ToWide(record.name.c_str(), entry.name);
  entry.attributes = AttributesOf(record.externalAttr, record.versionMadeBy);
  FILETIME dos_time = FileTimeOfDosDate(record.dosDate);
  entry.accessTime = dos_time;
  entry.creationTime = dos_time;
  entry.modificationTime = dos_time;
  ApplyExtendedTimes(extra, entry);
  entry.compressedSize = static_cast<uint32_t>(record.compressed);
  entry.uncompressedSize = static_cast<uint32_t>(record.uncompressed);

  cached_entry_ = entry;
  cached_index_ = index;
  out = std::move(entry);
  return kZipOk;
}

uint32_t ZipArchive::FindEntryLocked(const std::wstring& name, int& index, ZipEntry* out) {
  index = -1;
  if (out != nullptr) *out = ZipEntry();
  std::string utf8;
  TextUtil::WideToUtf8(name.c_str(), utf8);
  if (utf8.empty() || utf8.size() > 255) return kZipNotFound;
  size_t found = records_.size();
  for (size_t i = 0; i < records_.size(); ++i) {
    if (SameNameIgnoringAsciiCase(records_[i].name, utf8)) {
      found = i;
      break;
    }
  }
  if (found == records_.size()) return kZipNotFound;
  CloseEntryLocked();
  uint32_t check = CheckRecord(records_[found]);
  if (check != kZipOk) return check;
  if (out != nullptr) {
    uint32_t code = GetEntryLocked(static_cast<int>(found), *out);
    if (code != kZipOk) {
      *out = ZipEntry();
      return code;
    }
  }
  index = static_cast<int>(found);
  return kZipOk;
}

void ZipArchive::CloseEntryLocked() {
  if (open_ != nullptr) {
    open_.reset();
    unzCloseCurrentFile(static_cast<unzFile>(unzip_));
  }
  current_entry_ = -1;
}

uint32_t ZipArchive::OpenEntryLocked(int index) {
  CloseEntryLocked();
  if (index < 0 || static_cast<size_t>(index) >= records_.size()) return kZipBadArgument;
  const Record& record = records_[static_cast<size_t>(index)];
  uint32_t check = CheckRecord(record);
  if (check != kZipOk) return check;
  // This minizip build carries no decryption.
  if ((record.flag & 1) != 0) return kZipPassword;
  if (record.method != 0 && record.method != Z_DEFLATED) return kZipInflateFailed;
  // Stored data is its own size; anything else is a lie about one of them.
  if (record.method == 0 && record.compressed != record.uncompressed) return kZipInflateFailed;

  unzFile uf = static_cast<unzFile>(unzip_);
  const uint32_t opened = OpenRawLocked(record);
  if (opened != kZipOk) return opened;
  auto entry = std::make_unique<OpenEntry>();
  entry->method = record.method;
  entry->remaining = record.uncompressed;
  entry->expectedCrc = record.crc;
  entry->crc = static_cast<uint32_t>(crc32(0L, Z_NULL, 0));
  if (record.method == Z_DEFLATED) {
    if (inflateInit2(&entry->zs, -MAX_WBITS) != Z_OK) {
      unzCloseCurrentFile(uf);
      return kZipInflateFailed;
    }
    entry->zsInit = true;
    entry->input.resize(kInputChunk);
  }
  open_ = std::move(entry);
  current_entry_ = index;
  return kZipOk;
}

uint32_t ZipArchive::UnzipLocked(int index, void* buffer, uint32_t length) {
  if (index != current_entry_ || open_ == nullptr) {
    uint32_t code = OpenEntryLocked(index);
    if (code != kZipOk) return code;
  }
  if (buffer == nullptr && length > 0) {
    CloseEntryLocked();
    return kZipBadArgument;
  }
  unzFile uf = static_cast<unzFile>(unzip_);
  OpenEntry& e = *open_;
  unsigned char* out = static_cast<unsigned char*>(buffer);
  const uint64_t want = std::min<uint64_t>(length, e.remaining);
  uint64_t produced = 0;
  uint32_t failure = kZipOk;

  while (produced < want && failure == kZipOk) {
    unsigned room = static_cast<unsigned>(std::min<uint64_t>(want - produced, 1u << 30));
    if (e.method == 0) {
      int n = unzReadCurrentFile(uf, out + produced, room);
      if (n <= 0) {
        // Zero: the stored data ended before its declared size.
        failure = n < 0 ? ReadErrorCode(n) : kZipInflateFailed;
        break;
      }
      e.crc = static_cast<uint32_t>(crc32(e.crc, out + produced, static_cast<uInt>(n)));
      produced += static_cast<uint64_t>(n);
      continue;
    }
    if (e.streamEnded) {
      // The deflate stream ended before the declared size.
      failure = kZipInflateFailed;
      break;
    }
    if (e.zs.avail_in == 0 && !e.inputEnded) {
      int n = unzReadCurrentFile(uf, e.input.data(), static_cast<unsigned>(e.input.size()));
      if (n < 0) {
        failure = ReadErrorCode(n);
        break;
      }
      if (n == 0) {
        e.inputEnded = true;
      } else {
        e.zs.next_in = e.input.data();
        e.zs.avail_in = static_cast<uInt>(n);
      }
    }
    e.zs.next_out = out + produced;
    e.zs.avail_out = room;
    int z = inflate(&e.zs, Z_NO_FLUSH);
    uInt made = room - e.zs.avail_out;
    e.crc = static_cast<uint32_t>(crc32(e.crc, out + produced, made));
    produced += made;
    if (z == Z_STREAM_END) {
      e.streamEnded = true;
    } else if (z == Z_BUF_ERROR) {
      if (e.inputEnded && e.zs.avail_in == 0) failure = kZipInflateFailed;  // cut short
    } else if (z != Z_OK) {
      failure = kZipInflateFailed;
    }
  }
  if (failure != kZipOk) {
    CloseEntryLocked();
    return failure;
  }
  e.remaining -= produced;
  if (e.remaining > 0) return kZipMoreData;
  uint32_t code = FinishEntryLocked();
  CloseEntryLocked();
  return code;
}

uint32_t ZipArchive::FinishEntryLocked() {
  unzFile uf = static_cast<unzFile>(unzip_);
  OpenEntry& e = *open_;
  // Every declared byte is out; the stream must end right here. One more
  // byte of output means the data inflates to more than the entry declared.
  while (e.method == Z_DEFLATED && !e.streamEnded) {
    if (e.zs.avail_in == 0 && !e.inputEnded) {
      int n = unzReadCurrentFile(uf, e.input.data(), static_cast<unsigned>(e.input.size()));
      if (n < 0) return ReadErrorCode(n);
      if (n == 0) {
        e.inputEnded = true;
      } else {
        e.zs.next_in = e.input.data();
        e.zs.avail_in = static_cast<uInt>(n);
      }
    }
    unsigned char extra_byte = 0;
    e.zs.next_out = &extra_byte;
    e.zs.avail_out = 1;
    int z = inflate(&e.zs, Z_NO_FLUSH);
    if (e.zs.avail_out == 0) return kZipInflateFailed;
    if (z == Z_STREAM_END) {
      e.streamEnded = true;
    } else if (z == Z_BUF_ERROR) {
      if (e.inputEnded && e.zs.avail_in == 0) return kZipInflateFailed;
    } else if (z != Z_OK) {
      return kZipInflateFailed;
    }
  }
  return e.crc == e.expectedCrc ? kZipOk : kZipInflateFailed;
}

uint32_t ZipArchive::ReadEntryAtLocked(int index, std::string& out) {
  out.clear();
  ZipEntry entry;
  uint32_t code = GetEntryLocked(index, entry);
  if (code != kZipOk) return code;
  std::string data;
  try {
    data.resize(entry.uncompressedSize);
  } catch (const std::bad_alloc&) {
    return kZipEntryTooLarge;
  } catch (const std::length_error&) {
    return kZipEntryTooLarge;
  }
  code = UnzipLocked(index, data.empty() ? nullptr : &data[0], entry.uncompressedSize);
  if (code != kZipOk) {
    CloseEntryLocked();
    return code == kZipMoreData ? kZipInflateFailed : code;
  }
  out.swap(data);
  return kZipOk;
}

}  // namespace ui
