// Builds zip archives for tests with minizip's writer: ordinary entries, and
// "raw" entries whose stored bytes, declared size and CRC are whatever the test
// says, so that damaged and hostile archives can be made on purpose. Shared by
// the ui and app tests; header-only.
#pragma once

#include <windows.h>

#include <minizip/zip.h>
#include <zlib.h>

// Needs zlib's and minizip's declarations first.
#include <minizip/iowin32.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ziptest {

struct Entry {
  std::string name;
  std::string data;  // the content (for a raw entry: the stored bytes)
  int method = Z_DEFLATED;
  bool raw = false;  // store `data` as is, with the sizes and CRC below
  uint64_t declaredSize = 0;
  uint32_t crc = 0;
  std::string localExtra;
  uint32_t dosDate = 0;  // 0: 1 January 2020, 00:00
  uint32_t versionMadeBy = 0;
  uint32_t externalAttr = 0;
  const char* password = nullptr;
};

inline uint32_t Crc(const std::string& data) {
  return static_cast<uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// Raw deflate data (no zlib header), as zip entries hold it.
inline std::string Deflate(const std::string& data) {
  z_stream zs = {};
  deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, static_cast<uLong>(data.size())) + 16, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(&out[0]);
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// An ordinary entry.
inline Entry File(const std::string& name, const std::string& data, int method = Z_DEFLATED) {
  Entry e;
  e.name = name;
  e.data = data;
  e.method = method;
  return e;
}

// A deflated entry whose declared size and CRC are given.
inline Entry RawDeflated(const std::string& name, const std::string& content,
                         uint64_t declared_size, uint32_t crc) {
  Entry e;
  e.name = name;
  e.data = Deflate(content);
  e.raw = true;
  e.declaredSize = declared_size;
  e.crc = crc;
  return e;
}

// "UT" extended-timestamp block: flags, then the times the flags name.
inline std::string UtBlock(uint8_t flags, const std::vector<int32_t>& times) {
  std::string data(1, static_cast<char>(flags));
  for (int32_t t : times) {
    uint32_t u = static_cast<uint32_t>(t);
    for (int i = 0; i < 4; ++i) data.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
  }
  std::string block = "UT";
  block.push_back(static_cast<char>(data.size() & 0xFF));
  block.push_back(static_cast<char>(data.size() >> 8));
  return block + data;
}

inline bool WriteZip(const std::wstring& path, const std::vector<Entry>& entries) {
  zlib_filefunc64_def funcs;
  fill_win32_filefunc64W(&funcs);
  zipFile zf = zipOpen2_64(path.c_str(), APPEND_STATUS_CREATE, nullptr, &funcs);
  if (zf == nullptr) return false;
  bool ok = true;
  for (const Entry& e : entries) {
    zip_fileinfo info = {};
    info.dosDate = e.dosDate != 0 ? e.dosDate : ((2020u - 1980u) << 25) | (1u << 21) | (1u << 16);
    info.external_fa = e.externalAttr;
    uLong crc_for_crypting = e.password != nullptr ? Crc(e.data) : 0;
    int rc = zipOpenNewFileInZip4_64(
        zf, e.name.c_str(), &info, e.localExtra.empty() ? nullptr : e.localExtra.data(),
        static_cast<uInt>(e.localExtra.size()), nullptr, 0, nullptr, e.method,
        e.method == 0 ? 0 : Z_DEFAULT_COMPRESSION, e.raw ? 1 : 0, -MAX_WBITS, DEF_MEM_LEVEL,
        Z_DEFAULT_STRATEGY, e.password, crc_for_crypting, e.versionMadeBy, 0, 0);
    if (rc != ZIP_OK) {
      ok = false;
      break;
    }
    if (!e.data.empty() &&
        zipWriteInFileInZip(zf, e.data.data(), static_cast<unsigned>(e.data.size())) != ZIP_OK) {
      ok = false;
    }
    rc = e.raw ? zipCloseFileInZipRaw64(zf, e.declaredSize, e.crc) : zipCloseFileInZip(zf);
    if (rc != ZIP_OK) ok = false;
  }
  if (zipClose(zf, nullptr) != ZIP_OK) ok = false;
  return ok;
}

inline std::string ReadAll(const std::wstring& path) {
  std::string data;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return data;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) data.append(buffer, got);
  CloseHandle(file);
  return data;
}

inline bool WriteAll(const std::wstring& path, const std::string& data) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = data.empty() ||
            (WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
             written == data.size());
  CloseHandle(file);
  return ok;
}

// A zip made in memory: written to `scratch` and read back.
inline std::string MakeZip(const std::wstring& scratch, const std::vector<Entry>& entries) {
  if (!WriteZip(scratch, entries)) return std::string();
  std::string data = ReadAll(scratch);
  DeleteFileW(scratch.c_str());
  return data;
}

}  // namespace ziptest
