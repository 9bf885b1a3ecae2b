// Measures the game apply of ApplyUpdateState for bench/apply_bench.sh (not
// a test: it prints figures and asserts nothing).
//
//   apply_bench.exe small <work folder> <file count>
//   apply_bench.exe big <work folder> <MiB>
//
// "small" applies <file count> fetched files of 1 to 8 KiB; "big" applies
// one patch that rewrites a file of <MiB> MiB (one add step over the whole
// file, written here as a container), through the streamed applier. Each
// worker tick is one call of ApplyGameUpdateSlice, timed on its own; the
// reference is a plain copy of the same new files. Prints one line of
// key=value pairs per measurement.
//
// Threads: the main thread only (it stands in for the worker).
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/file_util.h"
#include "app/launcher_manager.h"
#include "base/text_util.h"
#include "download/md5.h"
#include "update/apply_update_state.h"
#include "update/game_repair.h"
#include "update/version_map.h"

namespace {

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Now() {
  LARGE_INTEGER t, zero = {};
  QueryPerformanceCounter(&t);
  return Seconds(zero, t);
}

double PeakWorkingSetMiB() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return -1;
  return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

uint64_t g_seed = 0x9E3779B97F4A7C15ull;
uint64_t Next() {
  g_seed ^= g_seed << 13;
  g_seed ^= g_seed >> 7;
  g_seed ^= g_seed << 17;
  return g_seed;
}

void Fill(std::string& bytes) {
  for (size_t i = 0; i < bytes.size(); i += 8) {
    const uint64_t v = Next();
    for (size_t k = 0; k < 8 && i + k < bytes.size(); ++k) {
      bytes[i + k] = static_cast<char>(v >> (8 * k));
    }
  }
}

bool WriteAll(const std::wstring& path, const std::string& bytes) {
  std::wstring folder, name;
  if (SplitPathW(path, folder, name)) MakeDirsW(folder);
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
  CloseHandle(h);
  return ok;
}

void SetUpManager(const std::wstring& work) {
  LauncherManager& m = LauncherManager::Instance();
  m.ResetForTesting();
  m.version_table().ResetAll();
  LauncherSettings settings = m.settings();
  settings.gamePath = work + L"\\Game";
  m.set_settings(settings);
  m.set_known_game_version("3_0_5");
  SetGameRunningTest([] { return false; });
}

struct ApplyFigures {
  double seconds = 0;
  double longest_tick = 0;
  int ticks = 0;
  int result = 0;
};

ApplyFigures RunApply() {
  ApplyFigures f;
  ApplyUpdateState state(kGameMode);
  const double start = Now();
  state.Enter(nullptr);
  while (state.result() == 0) {
    const double t0 = Now();
    state.ApplyGameUpdateSlice();
    f.longest_tick = std::max(f.longest_tick, Now() - t0);
    ++f.ticks;
  }
  f.seconds = Now() - start;
  f.result = state.result();
  return f;
}

int Small(const std::wstring& work, int count) {
  SetUpManager(work);
  VersionMap& files = LauncherManager::Instance().version_table()[VersionTable::kUpdateGameVersion];
  std::vector<std::string> paths;
  for (int i = 0; i < count; ++i) {
    char rel[64];
    std::snprintf(rel, sizeof(rel), "data/d%02d/f%05d.bin", i % 50, i);
    std::string bytes(1024 + Next() % (7 * 1024), '\0');
    Fill(bytes);
    std::wstring wide;
    TextUtil::Utf8ToWide(rel, wide);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    if (!WriteAll(L".\\update\\" + wide, bytes) || !WriteAll(work + L"\\source\\" + wide, bytes)) {
      std::fprintf(stderr, "cannot write inputs\n");
      return 1;
    }
    files[rel] =
        VersionEntry{Md5OfBytes(bytes.data(), bytes.size()), static_cast<int32_t>(bytes.size())};
    paths.push_back(rel);
  }
  const ApplyFigures f = RunApply();
  std::printf(
      "case=small_files files=%d apply_seconds=%.3f ticks=%d longest_tick_ms=%.1f "
      "result=%d peak_ws_mib=%.1f\n",
      count, f.seconds, f.ticks, f.longest_tick * 1000, f.result, PeakWorkingSetMiB());
  const double start = Now();
  for (const std::string& rel : paths) {
    std::wstring wide;
    TextUtil::Utf8ToWide(rel.c_str(), wide);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    const std::wstring to = work + L"\\copy\\" + wide;
    std::wstring folder, name;
    if (SplitPathW(to, folder, name) && !IsDirW(folder)) MakeDirsW(folder);
    CopyFileW((work + L"\\source\\" + wide).c_str(), to.c_str(), FALSE);
  }
  std::printf("case=small_files_plain_copy files=%d seconds=%.3f\n", count, Now() - start);
  return f.result == 1 ? 0 : 1;
}

// The container of a patch with one add step over `size` bytes: the diff
// block adds 1 to every 4096th byte and rewrites every 64th KiB.
bool WriteBigPatch(const std::wstring& path, int64_t size, std::vector<char>& diff_pattern) {
  std::string header(32 + 24, '\0');
  auto put = [&](size_t at, int64_t v) {
    for (int k = 0; k < 8; ++k) header[at + k] = static_cast<char>(v >> (8 * k));
  };
  std::memcpy(&header[0], "BSDIFN40", 8);
  put(8, 24);
  put(16, size);
  put(24, size);
  put(32, size);  // add
  put(40, 0);     // extra
  put(48, 0);     // seek
  const uint64_t raw = header.size() + static_cast<uint64_t>(size);
  std::string packed;
  z_stream z = {};
  if (deflateInit(&z, 1) != Z_OK) return false;
  std::vector<char> out(1 << 20);
  auto pump = [&](const char* data, size_t n, int flush) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z.avail_in = static_cast<uInt>(n);
    do {
      z.next_out = reinterpret_cast<Bytef*>(out.data());
      z.avail_out = static_cast<uInt>(out.size());
      deflate(&z, flush);
      packed.append(out.data(), out.size() - z.avail_out);
    } while (z.avail_out == 0);
  };
  pump(header.data(), header.size(), Z_NO_FLUSH);
  for (int64_t at = 0; at < size; at += static_cast<int64_t>(diff_pattern.size())) {
    const size_t n = static_cast<size_t>(
        std::min<int64_t>(static_cast<int64_t>(diff_pattern.size()), size - at));
    pump(diff_pattern.data(), n, at + static_cast<int64_t>(n) >= size ? Z_FINISH : Z_NO_FLUSH);
  }
  deflateEnd(&z);
  std::string file(8, '\0');
  for (int k = 0; k < 4; ++k) file[k] = static_cast<char>(raw >> (8 * k));
  for (int k = 0; k < 4; ++k) file[4 + k] = static_cast<char>(packed.size() >> (8 * k));
  return WriteAll(path, file + packed);
}

int Big(const std::wstring& work, int mib) {
  SetUpManager(work);
  LauncherManager::Instance().patchOption = 2;
  const int64_t size = static_cast<int64_t>(mib) << 20;
  std::vector<char> pattern(64 << 10, 0);
  for (size_t i = 0; i < pattern.size(); i += 4096) pattern[i] = 1;
  for (size_t i = 0; i < 512; ++i) pattern[i] = static_cast<char>(Next());
  // Old and new files written in pieces; the new one is the reference.
  const std::wstring old_path = work + L"\\Game\\big.bin";
  const std::wstring new_path = work + L"\\source\\big.bin";
  MakeDirsW(work + L"\\Game");
  MakeDirsW(work + L"\\source");
  HANDLE old_file = CreateFileW(old_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE new_file = CreateFileW(new_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (old_file == INVALID_HANDLE_VALUE || new_file == INVALID_HANDLE_VALUE) return 1;
  Md5 md5;
  std::string piece(pattern.size() * 16, '\0');
  for (int64_t at = 0; at < size; at += static_cast<int64_t>(piece.size())) {
    Fill(piece);
    std::string changed = piece;
    for (size_t i = 0; i < changed.size(); ++i) {
      changed[i] = static_cast<char>(changed[i] + pattern[i % pattern.size()]);
    }
    DWORD w = 0;
    WriteFile(old_file, piece.data(), static_cast<DWORD>(piece.size()), &w, nullptr);
    WriteFile(new_file, changed.data(), static_cast<DWORD>(changed.size()), &w, nullptr);
    md5.Update(changed.data(), changed.size());
  }
  CloseHandle(old_file);
  CloseHandle(new_file);
  const std::string new_md5 = md5.HexDigest();
  if (!WriteBigPatch(L".\\update\\big.bin.patch", size, pattern)) return 1;
  VersionTable& table = LauncherManager::Instance().version_table();
  table[VersionTable::kUpdateGameVersion]["big.bin"] =
      VersionEntry{new_md5, static_cast<int32_t>(size)};
  table[VersionTable::kGamePatchVersion]["big.bin"] = VersionEntry{std::string(32, '0'), 1};

  const ApplyFigures f = RunApply();
  std::string out_md5;
  int64_t out_size = 0;
  const bool same = Md5OfFileW(old_path, out_md5, out_size) && out_md5 == new_md5;
  std::printf(
      "case=patched_file mib=%d apply_seconds=%.3f ticks=%d longest_tick_ms=%.1f "
      "result=%d md5_ok=%d peak_ws_mib=%.1f\n",
      mib, f.seconds, f.ticks, f.longest_tick * 1000, f.result, same ? 1 : 0, PeakWorkingSetMiB());
  const double start = Now();
  MakeDirsW(work + L"\\copy");
  CopyFileW(new_path.c_str(), (work + L"\\copy\\big.bin").c_str(), FALSE);
  std::printf("case=patched_file_plain_copy mib=%d seconds=%.3f\n", mib, Now() - start);
  return f.result == 1 && same ? 0 : 1;
}

int Usage() {
  std::fprintf(stderr,
               "usage: apply_bench small <work folder> <file count>\n"
               "       apply_bench big <work folder> <MiB>\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return Usage();
  const std::wstring mode = argv[1];
  const std::wstring work = argv[2];
  const int n = _wtoi(argv[3]);
  if (n <= 0) return Usage();
  RemoveTreeW(work);
  MakeDirsW(work);
  if (!SetCurrentDirectoryW(work.c_str())) return 1;
  MakeDirsW(L".\\update");
  if (mode == L"small") return Small(work, n);
  if (mode == L"big") return Big(work, n);
  return Usage();
}
