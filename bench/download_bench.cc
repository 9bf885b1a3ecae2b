// Downloads a list of files with the launcher's download engine, the way the
// launcher does (a worker thread bound as kMiscThreadId polling every 2 ms,
// md5 check of every file included), and prints one line of figures for
// bench/download_bench.sh.
//
// Usage: download_bench.exe LIST OUTDIR CABUNDLE
//   LIST: first line the base URL; then one line per file: path TAB md5 TAB
//   size. Files land in OUTDIR under their path; OUTDIR becomes the current
//   folder (the engine's trace goes to OUTDIR\save).
//
// Threads: the main thread queues and waits; the engine's thread does all
// engine work.
#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "base/framework_thread.h"
#include "base/text_util.h"
#include "base/thread_registry.h"
#include "download/download_manager.h"

namespace {

std::atomic<int> g_done{0};
std::atomic<int> g_failed{0};

void OnDone(int, int code, std::string path, std::string message) {
  if (code != kDownloadOk) {
    ++g_failed;
    std::fprintf(stderr, "failed %s: %d %s\n", path.c_str(), code, message.c_str());
  }
  ++g_done;
}

void OnSpeed(int, double bytesPerSecond) {
  DownloadManager::Instance().AddSpeedSample(bytesPerSecond);
}

class Worker : public nbase::FrameworkThread {
 public:
  Worker() : nbase::FrameworkThread("worker") {}
  ~Worker() override { Stop(); }

  void RunSync(const std::function<void()>& work) {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (nbase::ThreadRegistry::PostTo(nbase::kMiscThreadId, [&work, done] {
          work();
          SetEvent(done);
        })) {
      WaitForSingleObject(done, INFINITE);
    }
    CloseHandle(done);
  }

 private:
  void Init() override {
    nbase::ThreadRegistry::BindCurrentThread(nbase::kMiscThreadId);
    nbase::ThreadRegistry::PostRepeating(nbase::kMiscThreadId,
                                         ToWeakCallback([] { DownloadManager::Instance().Poll(); }),
                                         nbase::TimeDelta::FromMilliseconds(2), -1);
  }
  void Cleanup() override { nbase::ThreadRegistry::UnbindCurrentThread(); }
};

double Seconds(const FILETIME& t) {
  ULARGE_INTEGER v;
  v.LowPart = t.dwLowDateTime;
  v.HighPart = t.dwHighDateTime;
  return static_cast<double>(v.QuadPart) / 1e7;
}

struct Item {
  std::string path;
  std::string md5;
  int size;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: download_bench LIST OUTDIR CABUNDLE\n");
    return 2;
  }
  std::ifstream list(argv[1]);
  std::string base;
  std::getline(list, base);
  std::vector<Item> items;
  int64_t total = 0;
  for (std::string line; std::getline(list, line);) {
    std::istringstream fields(line);
    Item item;
    std::getline(fields, item.path, '\t');
    std::getline(fields, item.md5, '\t');
    fields >> item.size;
    if (item.path.empty()) continue;
    total += item.size;
    items.push_back(item);
  }
  CreateDirectoryW(argv[2], nullptr);
  if (!SetCurrentDirectoryW(argv[2])) return 2;
  CreateDirectoryW(L"save", nullptr);
  std::string bundle;
  TextUtil::WideToUtf8(argv[3], bundle);

  Worker worker;
  if (!worker.StartOwnThread(nbase::MessageLoop::Kind::kDefault)) return 2;
  DownloadManager& engine = DownloadManager::Instance();
  worker.RunSync([&] {
    DownloadSettings settings;
    settings.caBundle = bundle;
    engine.Init(settings);
    engine.SetResourceUrls({base});
    engine.UseResourceUrls();
  });

  const ULONGLONG start = GetTickCount64();
  worker.RunSync([&] {
    for (const Item& item : items) {
      std::string local = item.path;
      for (char& c : local) {
        if (c == '/') c = '\\';
      }
      engine.DownloadFile(item.path, local, item.md5, item.size, &OnDone, &OnSpeed, 1, 0, 0);
    }
    engine.SetTotalBytes(total);
  });
  const double queued = (GetTickCount64() - start) / 1000.0;
  PROCESS_MEMORY_COUNTERS memory = {};
  SIZE_T steadyPeak = 0;
  while (g_done < static_cast<int>(items.size())) {
    Sleep(50);
    if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory))) {
      steadyPeak = std::max(steadyPeak, memory.WorkingSetSize);
    }
  }
  const double wall = (GetTickCount64() - start) / 1000.0;
  worker.RunSync([&] { engine.Shutdown(); });
  worker.Stop();

  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
  std::printf(
      "files=%zu bytes=%lld failed=%d queue=%.3f wall=%.3f user=%.3f kernel=%.3f peak_ws_mb=%.1f "
      "peak_private_mb=%.1f steady_ws_mb=%.1f\n",
      items.size(), static_cast<long long>(total), g_failed.load(), queued, wall, Seconds(user),
      Seconds(kernel), memory.PeakWorkingSetSize / 1048576.0, memory.PeakPagefileUsage / 1048576.0,
      steadyPeak / 1048576.0);
  return g_failed == 0 ? 0 : 1;
}
