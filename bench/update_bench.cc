// Measures the launcher's MD5 and patch appliers on real files for
// bench/patch_md5_bench.sh (not a test: it prints figures and asserts
// nothing).
//
//   update_bench.exe md5 <file>
//   update_bench.exe streamed <old> <new> <patch>
//   update_bench.exe memory <old> <new> <patch>
//
// Prints one line of key=value pairs: the seconds spent in the operation (the
// process start of Wine not included), the process's peak working set, the
// result and, for the appliers, the md5 of the file written.
//
// Threads: the main thread only.
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/text_util.h"
#include "download/md5.h"
#include "update/patcher.h"

namespace {

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double PeakWorkingSetMiB() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return -1;
  return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

int Usage() {
  std::fprintf(stderr,
               "usage: update_bench md5 <file>\n"
               "       update_bench streamed|memory <old> <new> <patch>\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return Usage();
  const std::wstring mode = argv[1];
  LARGE_INTEGER start;
  LARGE_INTEGER end;
  if (mode == L"md5" && argc == 3) {
    std::string hex;
    int64_t size = 0;
    QueryPerformanceCounter(&start);
    const bool ok = Md5OfFileW(argv[2], hex, size);
    QueryPerformanceCounter(&end);
    std::printf("seconds=%.3f peak_ws_mib=%.1f ok=%d bytes=%lld md5=%s\n", Seconds(start, end),
                PeakWorkingSetMiB(), ok ? 1 : 0, static_cast<long long>(size), hex.c_str());
    return ok ? 0 : 1;
  }
  if ((mode == L"streamed" || mode == L"memory") && argc == 5) {
    int detail = 0;
    QueryPerformanceCounter(&start);
    const int result = mode == L"streamed"
                           ? ApplyPatchFileStreamedW(argv[2], argv[3], argv[4], detail)
                           : ApplyPatchFileInMemoryW(argv[2], argv[3], argv[4]);
    QueryPerformanceCounter(&end);
    const double peak = PeakWorkingSetMiB();
    std::string hex;
    int64_t size = 0;
    if (!Md5OfFileW(argv[3], hex, size)) hex = "-";
    std::printf("seconds=%.3f peak_ws_mib=%.1f result=%d detail=%d md5=%s\n", Seconds(start, end),
                peak, result, detail, hex.c_str());
    return result == 0 ? 0 : 1;
  }
  return Usage();
}
