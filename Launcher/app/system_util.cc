#include "app/system_util.h"

#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <climits>
#include <cstdio>
#include <exception>
#include <new>
#include <system_error>

#include "app/file_util.h"
#include "base/text_util.h"

namespace {

// ---------------------------------------------------------------------------
// Real seams.

class RealShellOpener : public ShellOpener {
 public:
  bool Open(HWND owner, const std::wstring& url) override {
    HINSTANCE result = ShellExecuteW(owner, L"open", url.c_str(), nullptr, nullptr, SW_SHOW);
    // Values above 32 mean success; the result is an int in disguise.
    return reinterpret_cast<INT_PTR>(result) > 32;
  }
};

class RealDiskSpaceSource : public DiskSpaceSource {
 public:
  bool Query(const std::wstring& root, uint64_t& total, uint64_t& available) override {
    ULARGE_INTEGER avail = {};
    ULARGE_INTEGER all = {};
    if (!GetDiskFreeSpaceExW(root.c_str(), &avail, &all, nullptr)) return false;
    total = all.QuadPart;
    available = avail.QuadPart;
    return true;
  }
};

class RealUtcClock : public UtcClock {
 public:
  SYSTEMTIME Now() override {
    SYSTEMTIME now = {};
    GetSystemTime(&now);
    return now;
  }
};

RealShellOpener g_real_shell_opener;
RealDiskSpaceSource g_real_disk_space_source;
RealUtcClock g_real_utc_clock;

std::atomic<ShellOpener*> g_shell_opener{&g_real_shell_opener};
std::atomic<DiskSpaceSource*> g_disk_space_source{&g_real_disk_space_source};
std::atomic<UtcClock*> g_utc_clock{&g_real_utc_clock};

// ---------------------------------------------------------------------------
// Handles.

class ScopedRegKey {
 public:
  ScopedRegKey() = default;
  ~ScopedRegKey() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  ScopedRegKey(const ScopedRegKey&) = delete;
  ScopedRegKey& operator=(const ScopedRegKey&) = delete;

  // Trailing separators are dropped: the registry does not treat "a\b\" as
  // the key "a\b" everywhere, and callers like to write key paths that way.
  bool Open(HKEY root, const std::wstring& path, REGSAM access) {
    std::wstring sub = path;
    while (!sub.empty() && sub.back() == L'\\') sub.pop_back();
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, sub.c_str(), 0, access, &key) != ERROR_SUCCESS) return false;
    if (key_ != nullptr) RegCloseKey(key_);
    key_ = key;
    return true;
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

class ScopedFile {
 public:
  explicit ScopedFile(HANDLE handle) : handle_(handle) {}
  ~ScopedFile() {
    if (valid()) CloseHandle(handle_);
  }
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// ---------------------------------------------------------------------------
// Helpers.

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t i = 0;
  for (; prefix[i] != '\0'; ++i) {
    if (i >= text.size()) return false;
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// The value's text where it has one; objects and arrays have none.
bool JsonText(const Json::Value& value, std::string& out) {
  if (value.isObject() || value.isArray()) return false;
  try {
    out = value.asString();
    return true;
  } catch (const Json::Exception&) {
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

bool FindJsonMemberImpl(const Json::Value& object, const std::string& key, Json::Value& out) {
  if (!object.isObject()) return false;
  // getMemberNames gives jsoncpp's map order, which is ascending byte order.
  for (const std::string& name : object.getMemberNames()) {
    const Json::Value* value = object.find(name.data(), name.data() + name.size());
    if (value == nullptr) continue;
    if (name == key && !value->isNull()) {
      out = *value;
      return true;
    }
    if (value->isArray()) {
      for (Json::ArrayIndex i = 0; i < value->size(); ++i) {
        if (FindJsonMemberImpl((*value)[i], key, out)) return true;
      }
    }
  }
  return false;
}

// The path made full against the current directory, of any length; empty when
// the system cannot make it full (an empty path among others).
std::wstring FullPath(const std::wstring& path) {
  if (path.empty() || path.find(L'\0') != std::wstring::npos) return std::wstring();
  DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  // The current directory may change between the two calls; try a few times.
  for (int attempt = 0; attempt < 4 && needed > 0; ++attempt) {
    std::wstring buffer(needed, L'\0');
    DWORD written = GetFullPathNameW(path.c_str(), needed, &buffer[0], nullptr);
    if (written == 0) return std::wstring();
    if (written < needed) {
      buffer.resize(written);
      return buffer;
    }
    needed = written;
  }
  return std::wstring();
}

// Reads a string value from an open key. REG_EXPAND_SZ is accepted only when
// `allow_expand`.
bool ReadStringValue(HKEY key, const std::wstring& name, bool allow_expand, std::wstring& out) {
  // The value may change between asking for its size and reading it.
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
      return false;
    }
    if (type != REG_SZ && !(allow_expand && type == REG_EXPAND_SZ)) return false;
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    LONG rc = RegQueryValueExW(key, name.c_str(), nullptr, &type,
                               reinterpret_cast<BYTE*>(buffer.data()), &got);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) return false;
    if (type != REG_SZ && !(allow_expand && type == REG_EXPAND_SZ)) return false;
    // The returned size bounds the text; an odd last byte is no character.
    size_t chars = std::min<size_t>(got / sizeof(wchar_t), buffer.size());
    std::wstring text(buffer.data(), chars);
    size_t zero = text.find(L'\0');
    if (zero != std::wstring::npos) text.resize(zero);
    out.swap(text);
    return true;
  }
  return false;
}

std::string Utf8Of(const std::wstring& text) {
  std::string out;
  TextUtil::WideToMultiByte(text, out, CP_UTF8);
  return out;
}

std::wstring WideOfUtf8(const std::string& text) {
  std::wstring out;
  TextUtil::MultiByteToWide(text, out, CP_UTF8);
  return out;
}

std::wstring WideOfAnsi(const std::string& text) {
  std::wstring out;
  TextUtil::MultiByteToWide(text, out, CP_ACP);
  return out;
}

template <typename String>
size_t SplitImpl(const String& text, const String& delimiter, std::vector<String>& out) {
  out.clear();
  if (text.empty() || delimiter.empty()) return 0;
  size_t start = 0;
  for (;;) {
    size_t pos = text.find(delimiter, start);
    if (pos == String::npos) break;
    out.push_back(text.substr(start, pos - start));
    start = pos + delimiter.size();
  }
  if (start < text.size()) out.push_back(text.substr(start));
  return out.size();
}

// One piece of a version: one or more ASCII digits whose value fits an int.
bool ParseVersionPiece(const char* begin, const char* end, int& value) {
  if (begin == end) return false;
  for (const char* p = begin; p != end; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  int parsed = 0;
  std::from_chars_result result = std::from_chars(begin, end, parsed);
  if (result.ec != std::errc() || result.ptr != end) return false;
  value = parsed;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Seams.

ShellOpener* SetShellOpenerForTesting(ShellOpener* opener) {
  return g_shell_opener.exchange(opener != nullptr ? opener : &g_real_shell_opener);
}

DiskSpaceSource* SetDiskSpaceSourceForTesting(DiskSpaceSource* source) {
  return g_disk_space_source.exchange(source != nullptr ? source : &g_real_disk_space_source);
}

UtcClock* SetUtcClockForTesting(UtcClock* clock) {
  return g_utc_clock.exchange(clock != nullptr ? clock : &g_real_utc_clock);
}

// ---------------------------------------------------------------------------
// Links.

bool IsWebUrl(const std::string& url) {
  size_t scheme = 0;
  if (StartsWithNoCase(url, "http://")) {
    scheme = 7;
  } else if (StartsWithNoCase(url, "https://")) {
    scheme = 8;
  } else {
    return false;
  }
  if (url.size() <= scheme) return false;
  for (char c : url) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return false;
  }
  return true;
}

bool OpenUrl(HWND owner, const std::string& url) {
  if (!IsWebUrl(url)) return false;
  // Browsers are registered with command lines such as `browser.exe "%1"`; a
  // quote or a blank inside the address could otherwise add arguments.
  std::string safe;
  safe.reserve(url.size());
  for (char c : url) {
    if (c == ' ') {
      safe += "%20";
    } else if (c == '"') {
      safe += "%22";
    } else {
      safe += c;
    }
  }
  std::wstring wide = WideOfUtf8(safe);
  if (wide.empty()) return false;
  return g_shell_opener.load()->Open(owner, wide);
}

// ---------------------------------------------------------------------------
// JSON.

bool FindJsonMember(const Json::Value& object, const std::string& key, Json::Value& out) {
  try {
    return FindJsonMemberImpl(object, key, out);
  } catch (const Json::Exception&) {
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

bool ParseJson(const std::string& text, Json::Value& out, std::string& error) {
  error.clear();
  if (text.empty()) {
    error = "empty text";
    return false;
  }
  try {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    bool ok = reader->parse(text.data(), text.data() + text.size(), &value, &errors);
    if (!ok || !errors.empty()) {
      error = errors.empty() ? std::string("parse failed") : errors;
      return false;
    }
    out.swap(value);
    return true;
  } catch (const Json::Exception& e) {
    error = e.what();
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (error.empty()) error = "parse failed";
  return false;
}

bool ReadJsonStringList(const Json::Value& object, const std::string& key,
                        std::vector<std::string>& out) {
  out.clear();
  try {
    Json::Value found;
    if (!FindJsonMember(object, key, found)) return false;
    std::vector<std::string> list;
    std::string text;
    if (found.isArray()) {
      for (Json::ArrayIndex i = 0; i < found.size(); ++i) {
        if (!JsonText(found[i], text)) return false;
        list.push_back(text);
      }
    } else {
      if (!JsonText(found, text)) return false;
      list.push_back(text);
    }
    out.swap(list);
    return !out.empty();
  } catch (const std::exception&) {
    out.clear();
    return false;
  }
}

bool WriteJsonFile(const std::string& path, const Json::Value& value) {
  std::string text;
  try {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "\t";
    text = Json::writeString(builder, value);
  } catch (const Json::Exception&) {
    return false;
  } catch (const std::exception&) {
    return false;
  }
  return WriteFileTextA(path, text);
}

// ---------------------------------------------------------------------------
// Processes.

bool BuildCommandLine(const std::wstring& program, const std::wstring& arguments,
                      std::wstring& out) {
  if (program.empty()) return false;
  if (program.find(L'\0') != std::wstring::npos || arguments.find(L'\0') != std::wstring::npos) {
    return false;
  }
  const size_t quotes = static_cast<size_t>(std::count(program.begin(), program.end(), L'"'));
  const bool enclosed =
      program.size() >= 3 && quotes == 2 && program.front() == L'"' && program.back() == L'"';
  if (quotes != 0 && !enclosed) return false;
  std::wstring line;
  // Unquoted, "C:\Program Files\x.exe" would first be tried as "C:\Program".
  if (!enclosed && program.find_first_of(L" \t") != std::wstring::npos) {
    line = L"\"" + program + L"\"";
  } else {
    line = program;
  }
  if (!arguments.empty()) {
    line += L' ';
    line += arguments;
  }
  out.swap(line);
  return true;
}

bool LaunchProcess(const std::wstring& program, const std::wstring& arguments,
                   const std::wstring& folder) {
  std::wstring line;
  if (!BuildCommandLine(program, arguments, line)) return false;
  if (folder.find(L'\0') != std::wstring::npos) return false;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOW;
  PROCESS_INFORMATION info = {};
  // CreateProcessW may write into the command line, so it gets its own copy.
  std::vector<wchar_t> writable(line.begin(), line.end());
  writable.push_back(L'\0');
  BOOL started = CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                folder.empty() ? nullptr : folder.c_str(), &startup, &info);
  if (!started) return false;
  ScopedFile process(info.hProcess);
  ScopedFile thread(info.hThread);
  return true;
}

// ---------------------------------------------------------------------------
// Texts.

size_t SplitA(const std::string& text, const std::string& delimiter,
              std::vector<std::string>& out) {
  return SplitImpl(text, delimiter, out);
}

size_t SplitW(const std::wstring& text, const std::wstring& delimiter,
              std::vector<std::wstring>& out) {
  return SplitImpl(text, delimiter, out);
}

std::wstring FormatDuration(unsigned seconds) {
  unsigned hours = seconds / 3600;
  unsigned rest = seconds % 3600;
  return TextUtil::Format(L"%02u:%02u:%02u", hours, rest / 60, rest % 60);
}

int FormatDuration(unsigned seconds, wchar_t* buffer, size_t length) {
  if (buffer == nullptr || length == 0) return -1;
  std::wstring text = FormatDuration(seconds);
  if (text.size() + 1 > length) {
    buffer[0] = L'\0';
    return -1;
  }
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = L'\0';
  return static_cast<int>(text.size());
}

bool ParseVersionTriple(const std::string& text, int& first, int& third, int& second) {
  first = 0;
  third = 0;
  second = 0;
  size_t a = text.find('_');
  if (a == std::string::npos) return false;
  size_t b = text.find('_', a + 1);
  if (b == std::string::npos || text.find('_', b + 1) != std::string::npos) return false;
  const char* data = text.data();
  int v1 = 0;
  int v2 = 0;
  int v3 = 0;
  if (!ParseVersionPiece(data, data + a, v1) || !ParseVersionPiece(data + a + 1, data + b, v2) ||
      !ParseVersionPiece(data + b + 1, data + text.size(), v3)) {
    return false;
  }
  first = v1;
  second = v2;
  third = v3;
  return true;
}

// ---------------------------------------------------------------------------
// Disk and clock.

std::wstring DriveLetterOf(const std::wstring& path) {
  std::wstring full = FullPath(path);
  size_t colon = full.find(L':');
  if (colon == std::wstring::npos || colon == 0) return std::wstring();
  return full.substr(0, colon);
}

bool DiskFreeW(const std::wstring& path, uint64_t& total, uint64_t& available) {
  std::wstring full = FullPath(path);
  size_t colon = full.find(L':');
  if (colon == std::wstring::npos || colon == 0) return false;
  // "C:" alone would mean the current directory of drive C; the root is meant.
  std::wstring root = full.substr(0, colon + 1) + L"\\";
  uint64_t all = 0;
  uint64_t avail = 0;
  if (!g_disk_space_source.load()->Query(root, all, avail)) return false;
  total = all;
  available = avail;
  return true;
}

bool DiskFreeA(const std::string& path, uint64_t& total, uint64_t& available) {
  return DiskFreeW(WideOfAnsi(path), total, available);
}

bool GetUtcDateTime(std::string& date, std::string& time) {
  SYSTEMTIME now = g_utc_clock.load()->Now();
  char text[64] = {};
  std::snprintf(text, sizeof(text), "%4d-%02d-%02d", now.wYear, now.wMonth, now.wDay);
  date = text;
  std::snprintf(text, sizeof(text), "%02d:%02d:%02d", now.wHour, now.wMinute, now.wSecond);
  time = text;
  return true;
}

// ---------------------------------------------------------------------------
// Registry.

bool ReadRegistryString(HKEY root, const std::wstring& key, const std::wstring& name, REGSAM view,
                        std::wstring& out) {
  ScopedRegKey opened;
  if (!opened.Open(root, key, KEY_READ | view)) return false;
  return ReadStringValue(opened.get(), name, true, out);
}

bool ReadRegistryDword(HKEY root, const std::wstring& key, const std::wstring& name, REGSAM view,
                       DWORD& out) {
  ScopedRegKey opened;
  if (!opened.Open(root, key, KEY_READ | view)) return false;
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (RegQueryValueExW(opened.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value),
                       &size) != ERROR_SUCCESS) {
    return false;
  }
  if (type != REG_DWORD || size != sizeof(value)) return false;
  out = value;
  return true;
}

int RegistryString(HKEY root, const std::wstring& first_key, const std::wstring& second_key,
                   const std::wstring& name, const std::wstring& text) {
  if (text.find(L'\0') != std::wstring::npos) return -1;
  if ((text.size() + 1) > MAXDWORD / sizeof(wchar_t)) return -1;
  {
    ScopedRegKey reader;
    bool opened = reader.Open(root, first_key, KEY_READ);
    if (!opened && !second_key.empty()) opened = reader.Open(root, second_key, KEY_READ);
    std::wstring current;
    if (opened && ReadStringValue(reader.get(), name, false, current) && current == text) return 0;
  }
  ScopedRegKey writer;
  if (!writer.Open(root, first_key, KEY_SET_VALUE)) {
    if (second_key.empty() || !writer.Open(root, second_key, KEY_SET_VALUE)) return -1;
  }
  DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  if (RegSetValueExW(writer.get(), name.c_str(), 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(text.c_str()), bytes) != ERROR_SUCCESS) {
    return -1;
  }
  return 1;
}

int RegistryString(const std::wstring& first_key, const std::wstring& second_key,
                   const std::wstring& name, const std::wstring& text) {
  return RegistryString(HKEY_LOCAL_MACHINE, first_key, second_key, name, text);
}

std::string RegReadHklmString(const std::wstring& key, const std::string& name) {
  std::wstring value;
  if (!ReadRegistryString(HKEY_LOCAL_MACHINE, key, WideOfUtf8(name), KEY_WOW64_64KEY, value)) {
    return std::string();
  }
  return Utf8Of(value);
}

std::string RegReadHklmDword(const std::wstring& key, const std::string& name) {
  DWORD value = 0;
  if (!ReadRegistryDword(HKEY_LOCAL_MACHINE, key, WideOfUtf8(name), KEY_WOW64_64KEY, value)) {
    return "0";
  }
  return std::to_string(value);
}

std::string GetWindowsVersion() {
  const std::wstring key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\";
  return RegReadHklmDword(key, "CurrentMajorVersionNumber") + "." +
         RegReadHklmDword(key, "CurrentMinorVersionNumber") + "." +
         RegReadHklmString(key, "CurrentBuild");
}

std::string GetProcessorName() {
  return RegReadHklmString(L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0\\",
                           "ProcessorNameString");
}

// ---------------------------------------------------------------------------
// Files.

std::unique_ptr<uint8_t[]> ReadHandleAll(HANDLE file, uint32_t count, int* size) {
  ScopedFile owned(file);
  if (!owned.valid() || count > static_cast<uint32_t>(INT_MAX)) return nullptr;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[static_cast<size_t>(count) + 1]);
  if (!buffer) return nullptr;
  uint32_t done = 0;
  while (done < count) {
    DWORD got = 0;
    if (!ReadFile(owned.get(), buffer.get() + done, count - done, &got, nullptr) || got == 0) {
      return nullptr;
    }
    done += got;
  }
  buffer[count] = 0;
  if (size != nullptr) *size = static_cast<int>(count);
  return buffer;
}
