#include "update/patcher.h"

#include <climits>
#include <cstdio>
#include <new>
#include <utility>

#include "app/file_util.h"
#include "app/system_util.h"
#include "base/text_util.h"

std::atomic<bool> PatchAbortFlag{false};

namespace {

// Largest single ReadFile / WriteFile request.
constexpr DWORD kIoChunk = 1u << 30;

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

 private:
  HANDLE handle_;
};

// Other readers may share the old file and the patch (a scanner, a second
// look at the same file); only writers are kept out while we read.
HANDLE OpenExisting(const std::wstring& path) {
  if (path.empty()) return INVALID_HANDLE_VALUE;
  return CreateFileW(SystemPathW(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

HANDLE CreateOrTruncate(const std::wstring& path) {
  if (path.empty()) return INVALID_HANDLE_VALUE;
  return CreateFileW(SystemPathW(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::wstring AnsiPath(const std::string& path) {
  std::wstring wide;
  if (path.find('\0') != std::string::npos) return wide;
  TextUtil::MultiByteToWide(path, wide, CP_ACP);
  return wide;
}

std::string PrintablePath(const std::wstring& path) {
  std::string text;
  TextUtil::WideToMultiByte(path, text, CP_UTF8);
  return text;
}

// The in-memory applier's diagnostics, one per line on standard output.
void Say(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
  std::fflush(stdout);
}

class HandleSource : public PatchByteSource {
 public:
  explicit HandleSource(HANDLE file) : file_(file) {
    LARGE_INTEGER size;
    LARGE_INTEGER zero;
    LARGE_INTEGER position;
    zero.QuadPart = 0;
    if (GetFileSizeEx(file_, &size) && SetFilePointerEx(file_, zero, &position, FILE_CURRENT) &&
        size.QuadPart >= position.QuadPart) {
      remaining_ = size.QuadPart - position.QuadPart;
    }
  }
  bool Read(uint8_t* buffer, size_t n, size_t& got) override {
    got = 0;
    DWORD done = 0;
    const DWORD ask = n > kIoChunk ? kIoChunk : static_cast<DWORD>(n);
    if (!ReadFile(file_, buffer, ask, &done, nullptr)) return false;
    got = done;
    if (remaining_ >= 0) remaining_ = remaining_ > done ? remaining_ - done : 0;
    return true;
  }
  int64_t Remaining() const override { return remaining_; }

 private:
  HANDLE file_;
  int64_t remaining_ = -1;
};

class HandleOldReader : public PatchOldReader {
 public:
  explicit HandleOldReader(HANDLE file) : file_(file) {}
  bool ReadAt(int64_t position, uint8_t* buffer, size_t n) override {
    LARGE_INTEGER at;
    at.QuadPart = position;
    if (position < 0 || !SetFilePointerEx(file_, at, nullptr, FILE_BEGIN)) return false;
    while (n > 0) {
      DWORD done = 0;
      const DWORD ask = n > kIoChunk ? kIoChunk : static_cast<DWORD>(n);
      if (!ReadFile(file_, buffer, ask, &done, nullptr) || done == 0) return false;
      buffer += done;
      n -= done;
    }
    return true;
  }

 private:
  HANDLE file_;
};

class HandleNewWriter : public PatchNewWriter {
 public:
  explicit HandleNewWriter(HANDLE file) : file_(file) {}
  bool Write(const uint8_t* buffer, size_t n) override { return WriteAll(file_, buffer, n); }

  static bool WriteAll(HANDLE file, const uint8_t* buffer, size_t n) {
    while (n > 0) {
      DWORD done = 0;
      const DWORD ask = n > kIoChunk ? kIoChunk : static_cast<DWORD>(n);
      if (!WriteFile(file, buffer, ask, &done, nullptr) || done == 0) return false;
      buffer += done;
      n -= done;
    }
    return true;
  }

 private:
  HANDLE file_;
};

// Opens the patch and reads its container: 1, or -1 with `error` the system
// error code when the file does not open, or the reader's code.
int LoadPatch(const std::wstring& patch_path, PatchImage& image, int& error) {
  error = 0;
  ScopedHandle patch(OpenExisting(patch_path));
  if (!patch.valid()) {
    error = static_cast<int>(GetLastError());
    return -1;
  }
  HandleSource source(patch.get());
  return ReadPatchContainerFrom(source, image);
}

int StreamedFromPaths(const std::wstring& old_path, const std::wstring& new_path,
                      const std::wstring& patch_path, int& detail) {
  detail = 0;
  PatchImage image;
  int error = 0;
  if (LoadPatch(patch_path, image, error) != 1) {
    detail = error;
    return -1;
  }
  PatchHeader header;
  if (ParsePatchHeader(image.data.get(), image.size, header) != PatchHeaderResult::kOk) return -2;
  ScopedHandle old_file(OpenExisting(old_path));
  LARGE_INTEGER old_size;
  if (!old_file.valid() || !GetFileSizeEx(old_file.get(), &old_size)) return -3;
  ScopedHandle new_file(CreateOrTruncate(new_path));
  if (!new_file.valid()) return -4;
  HandleOldReader reader(old_file.get());
  HandleNewWriter writer(new_file.get());
  return ApplyPatchStreamedCore(reader, old_size.QuadPart, writer, header.new_size,
                                image.data.get(), image.size, detail, &PatchAbortFlag);
}

int InMemoryFromPaths(const std::wstring& old_path, const std::wstring& new_path,
                      const std::wstring& patch_path) {
  PatchImage image;
  int error = 0;
  if (LoadPatch(patch_path, image, error) != 1) return -1;
  PatchHeader header;
  switch (ParsePatchHeader(image.data.get(), image.size, header)) {
    case PatchHeaderResult::kOk:
      break;
    case PatchHeaderResult::kShort:
      Say("fread(" + PrintablePath(patch_path) + ")");
      return -1;
    default:
      Say("Corrupt patch\n");
      return -1;
  }

  ScopedHandle old_file(OpenExisting(old_path));
  LARGE_INTEGER old_size;
  old_size.QuadPart = 0;
  std::unique_ptr<uint8_t[]> old_data;
  int old_length = 0;
  if (old_file.valid() && GetFileSizeEx(old_file.get(), &old_size) && old_size.QuadPart >= 0 &&
      old_size.QuadPart <= INT_MAX) {
    old_data =
        ReadHandleAll(old_file.release(), static_cast<uint32_t>(old_size.QuadPart), &old_length);
  }
  if (!old_data) {
    Say("old file: " + PrintablePath(old_path));
    return -1;
  }
  std::unique_ptr<uint8_t[]> new_data(new (std::nothrow)
                                          uint8_t[static_cast<size_t>(header.new_size) + 1]);
  if (!new_data) {
    Say("Failed to allocate memory for new");
    return -1;
  }
  std::string message;
  if (ApplyPatchInMemory(old_data.get(), old_length, new_data.get(), header.new_size,
                         image.data.get(), image.size, &message) != 0) {
    Say(message);
    Say("bapatch failed:");
    return -1;
  }
  old_data.reset();
  image.data.reset();

  ScopedHandle new_file(CreateOrTruncate(new_path));
  if (!new_file.valid()) {
    Say("failed to write new file: " + PrintablePath(new_path));
    return -1;
  }
  const size_t size = static_cast<size_t>(header.new_size);
  size_t written = 0;
  bool failed = false;
  while (written < size) {
    DWORD done = 0;
    const size_t left = size - written;
    const DWORD ask = left > kIoChunk ? kIoChunk : static_cast<DWORD>(left);
    if (!WriteFile(new_file.get(), new_data.get() + written, ask, &done, nullptr)) {
      failed = true;
      break;
    }
    if (done == 0) break;
    written += done;
  }
  if (failed || written != size) {
    if (failed) {
      Say("failed to write to new file: " + PrintablePath(new_path));
    } else {
      char sizes[64];
      std::snprintf(sizes, sizeof(sizes), ", diff size(%u:%u)", static_cast<unsigned>(written),
                    static_cast<unsigned>(size));
      Say("failed to write to new file: " + PrintablePath(new_path) + sizes);
    }
    // A truncated file must not pass for the patched one.
    CloseHandle(new_file.release());
    DeleteFileW(SystemPathW(new_path).c_str());
    return -1;
  }
  return 0;
}

}  // namespace

int ReadPatchContainer(HANDLE file, std::unique_ptr<uint8_t[]>& image, int& image_length) {
  if (file == INVALID_HANDLE_VALUE || file == nullptr) return -1;
  HandleSource source(file);
  PatchImage read;
  const int result = ReadPatchContainerFrom(source, read);
  if (result != 1) return result;
  image = std::move(read.data);
  image_length = static_cast<int>(read.size);
  return 1;
}

int ApplyPatchStreamed(HANDLE old_file, int64_t old_size, HANDLE new_file, int64_t new_size,
                       const uint8_t* image, int image_length, int& detail) {
  HandleOldReader reader(old_file);
  HandleNewWriter writer(new_file);
  return ApplyPatchStreamedCore(reader, old_size, writer, new_size, image, image_length, detail,
                                &PatchAbortFlag);
}

int ApplyPatchFileStreamedA(const std::string& old_path, const std::string& new_path,
                            const std::string& patch_path, int& detail) {
  return StreamedFromPaths(AnsiPath(old_path), AnsiPath(new_path), AnsiPath(patch_path), detail);
}

int ApplyPatchFileStreamedW(const std::wstring& old_path, const std::wstring& new_path,
                            const std::wstring& patch_path, int& detail) {
  return StreamedFromPaths(old_path, new_path, patch_path, detail);
}

int ApplyPatchFileInMemoryA(const std::string& old_path, const std::string& new_path,
                            const std::string& patch_path) {
  return InMemoryFromPaths(AnsiPath(old_path), AnsiPath(new_path), AnsiPath(patch_path));
}

int ApplyPatchFileInMemoryW(const std::wstring& old_path, const std::wstring& new_path,
                            const std::wstring& patch_path) {
  return InMemoryFromPaths(old_path, new_path, patch_path);
}
