// ZipArchive: the reader of the resource package, a plain zip archive of
// language files, skin XML, images and the channel configuration. It sits on
// minizip's unzip API (zlib's inflate below) and reads from one of three
// sources: an open file handle (left open), a file name (opened and closed
// here) or a memory block (read in place, never copied). It gives entry
// records with wide names, Windows attributes and file times, a look-up by
// name that ignores the case of a to z, and decompression into the caller's
// buffer, piecewise when the buffer is smaller than the entry.
//
// The archive may come from a damaged or hostile file, so:
// - an entry whose stored name is absolute, names a drive or stream (":"),
//   holds a ".." segment, a control character or nothing at all is refused
//   (kZipUnsafeName) rather than renamed, so it can never shadow or escape
//   another entry's path;
// - an entry that declares more than kZipMaxEntrySize bytes is refused
//   (kZipEntryTooLarge) before anything is allocated for it;
// - decompression stops at the declared size, and data that inflates to more
//   or to less than declared, or whose CRC differs, fails (kZipInflateFailed);
// - a damaged archive fails to open (kZipCannotOpen) or fails the one entry
//   concerned; the reader stays usable either way.
//
// Thread rules: each operation takes the archive's own lock, so one archive
// may be shared between threads (the process-wide package is). A piecewise
// Unzip (kZipMoreData) keeps its entry open between calls, and any other call
// closes it; such a sequence belongs to one caller at a time. ReadEntry reads
// a whole entry in one locked step and is what shared users should call.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/lock.h"

namespace ui {

// Result codes of every operation.
enum ZipResult : uint32_t {
  kZipOk = 0,
  kZipCannotOpen = 0x200,          // file cannot be opened, or not a readable zip
  kZipUnsafeName = 0x300,          // the entry's stored name is refused
  kZipEntryTooLarge = 0x400,       // the entry declares more than kZipMaxEntrySize
  kZipNotFound = 0x500,            // no entry has the given name
  kZipMoreData = 0x600,            // the buffer is full and the entry has more
  kZipBadLocalHeader = 0x700,      // an entry's local header is inconsistent
  kZipReadFailed = 0x800,          // reading or seeking in the source failed
  kZipPassword = 0x1000,           // the entry is encrypted
  kZipBadArgument = 0x10000,       // bad source kind or index, missing buffer
  kZipNotReadingHandle = 0x80000,  // kept for the UI environment's bookkeeping
  kZipBusy = 0x1000000,            // kept for the UI environment's bookkeeping
  kZipCannotSeek = 0x2000000,      // the given file handle cannot seek
  kZipInflateFailed = 0x5000000,   // decompression failed or the data is wrong
};

// Kinds of source for ZipArchive::Open.
enum ZipSourceKind : int {
  kZipSourceHandle = 1,    // `source` is a HANDLE open for reading; not closed
  kZipSourceFileName = 2,  // `source` is a zero-terminated wide file name
  kZipSourceMemory = 3,    // `source` points to `length` bytes
};

// The most bytes one entry may declare, compressed or not. The package holds
// skins, texts and images; anything larger is taken for a damaged or hostile
// archive.
inline constexpr uint32_t kZipMaxEntrySize = 256u * 1024u * 1024u;

// Windows file attribute bits as ZipEntry::attributes reports them.
inline constexpr uint32_t kZipAttrReadOnly = 1;
inline constexpr uint32_t kZipAttrHidden = 2;
inline constexpr uint32_t kZipAttrSystem = 4;
inline constexpr uint32_t kZipAttrDirectory = 16;
inline constexpr uint32_t kZipAttrArchive = 32;

struct ZipEntry {
  int index = -1;     // position in the archive's directory; -1: none
  std::wstring name;  // the stored name decoded from UTF-8, as stored
  uint32_t attributes = 0;
  FILETIME accessTime = {};  // UTC
  FILETIME creationTime = {};
  FILETIME modificationTime = {};
  uint32_t compressedSize = 0;
  uint32_t uncompressedSize = 0;
};

// True for a stored entry name that may be handed out: not empty, no zero or
// control character, no leading "/" or "\", no ":" (drives, streams), and no
// ".." segment, with "/" and "\" both taken as separators.
bool IsSafeZipEntryName(const std::string& utf8_name);

class ZipArchive {
 public:
  // Opens an archive. `kind` is one of ZipSourceKind; `length` is used for
  // memory only. A memory block must stay valid while the archive is open. A
  // file handle is read from its current position on, so an archive may start
  // inside a larger file. `password` may be null; the minizip build here has
  // no decryption, so encrypted entries fail with kZipPassword whatever it is.
  // Returns null on failure; `result` (may be null) receives the code.
  static std::unique_ptr<ZipArchive> Open(const void* source, uint64_t length, int kind,
                                          const char* password, uint32_t* result = nullptr);
  static std::unique_ptr<ZipArchive> OpenFile(const std::wstring& path, uint32_t* result = nullptr);
  static std::unique_ptr<ZipArchive> OpenHandle(HANDLE file, uint32_t* result = nullptr);
  static std::unique_ptr<ZipArchive> OpenMemory(const void* data, size_t size,
                                                uint32_t* result = nullptr);

  ~ZipArchive();
  ZipArchive(const ZipArchive&) = delete;
  ZipArchive& operator=(const ZipArchive&) = delete;

  // The number of entries in the archive's directory, refused ones included.
  int EntryCount() const;

  // The record of the entry at `index`. The last record made is kept, so
  // asking again for the same index does not touch the source. Closes any
  // entry left open by a piecewise Unzip.
  [[nodiscard]] uint32_t GetEntry(int index, ZipEntry& out);

  // Finds the first entry whose stored name equals `name` (UTF-8 compared,
  // letters a to z in any case) and gives its index and, when `out` is not
  // null, its record. Names of more than 255 UTF-8 bytes are never found.
  // On kZipNotFound `index` is -1 and `out` a record with index -1; a refused
  // entry gives its refusal code and index -1.
  [[nodiscard]] uint32_t FindEntry(const std::wstring& name, int& index, ZipEntry* out);

  // Decompresses the entry at `index` into `buffer`, continuing where the
  // previous call on the same entry stopped. kZipOk: the entry is complete
  // and verified; kZipMoreData: `length` bytes were delivered and more
  // follow; anything else: the entry was closed and its data must not be used.
  [[nodiscard]] uint32_t Unzip(int index, void* buffer, uint32_t length);

  // The whole content of the entry found by name (as FindEntry) or at an
  // index, into `out`, in one locked step. `out` is emptied on failure.
  [[nodiscard]] uint32_t ReadEntry(const std::wstring& name, std::string& out);
  [[nodiscard]] uint32_t ReadEntryAt(int index, std::string& out);

 private:
  struct Source;
  struct Record;
  struct OpenEntry;

  ZipArchive();
  uint32_t Load();
  uint32_t CheckRecord(const Record& record) const;
  uint32_t OpenRawLocked(const Record& record);
  uint32_t GetEntryLocked(int index, ZipEntry& out);
  uint32_t FindEntryLocked(const std::wstring& name, int& index, ZipEntry* out);
  uint32_t UnzipLocked(int index, void* buffer, uint32_t length);
  uint32_t OpenEntryLocked(int index);
  uint32_t FinishEntryLocked();
  uint32_t ReadEntryAtLocked(int index, std::string& out);
  void CloseEntryLocked();

  mutable nbase::Lock lock_;
  std::unique_ptr<Source> source_;
  void* unzip_ = nullptr;  // minizip's unzFile
  std::vector<Record> records_;
  std::unique_ptr<OpenEntry> open_;
  int current_entry_ = -1;
  ZipEntry cached_entry_;
  int cached_index_ = -1;
  std::string password_;
  bool has_password_ = false;
};

}  // namespace ui
