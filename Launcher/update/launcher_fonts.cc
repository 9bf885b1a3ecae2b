#include "update/launcher_fonts.h"

#include <windows.h>

#include <string>

#include "app/command_line.h"
#include "app/file_util.h"
#include "app/system_util.h"
#include "update/self_update.h"

const BundledFont kBundledFonts[kBundledFontCount] = {
    {L"LomaN.ttf", 138, L"Loma (TrueType)", L"Loma"},
    {L"LomaB.ttf", 139, L"Loma Bold (TrueType)", L"Loma Bold"},
    {L"SourceHanSansCNRegular.ttf", 143, L"\u601d\u6e90\u9ed1\u4f53 CN Regular (TrueType)",
     L"\u601d\u6e90\u9ed1\u4f53 CN Regular"},
    {L"SourceHanSansCNBold.ttf", 142, L"\u601d\u6e90\u9ed1\u4f53 CN Bold (TrueType)",
     L"\u601d\u6e90\u9ed1\u4f53 CN Bold"},
};

namespace {

class ResourceFontSource : public BundledFontSource {
 public:
  bool Read(const BundledFont& font, std::string& bytes) override {
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(self, MAKEINTRESOURCEW(font.resource_id), L"FONTS");
    if (found == nullptr) return false;
    const DWORD size = SizeofResource(self, found);
    HGLOBAL loaded = LoadResource(self, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (data == nullptr || size == 0) return false;
    bytes.assign(static_cast<const char*>(data), size);
    return true;
  }
};

ResourceFontSource g_resource_source;
BundledFontSource* g_source = &g_resource_source;
UiFontChoice g_choice;

class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (valid()) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

class RegKey {
 public:
  RegKey(HKEY root, const wchar_t* path, REGSAM access) {
    if (RegOpenKeyExW(root, path, 0, access, &key_) != ERROR_SUCCESS) key_ = nullptr;
  }
  ~RegKey() {
    if (key_) RegCloseKey(key_);
  }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

std::wstring InstalledPath(const BundledFont& font) {
  return SystemFontsFolder() + L"\\" + font.file_name;
}

bool OpensForReading(const std::wstring& path) {
  Handle h(CreateFileW(path.c_str(), GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return h.valid();
}

// A failed write leaves no file behind: a cut font would count as installed
// at every later start and never be written again.
bool WriteFont(const std::wstring& path, const std::string& bytes) {
  bool ok = false;
  {
    Handle h(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) return false;
    DWORD written = 0;
    ok = WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
  }
  if (!ok) DeleteFileW(path.c_str());
  return ok;
}

// Our own bytes of a font: the program's copy and the one beside the
// program (a font update puts the newer font there).
bool IsOurFontFile(const BundledFont& font, const std::string& installed) {
  std::string ours;
  if (g_source->Read(font, ours) && ours == installed) return true;
  ours.clear();
  return ReadFileTextW(std::wstring(L".\\") + font.file_name, ours) && ours == installed;
}

bool ValueNamesFile(HKEY key, const BundledFont& font) {
  wchar_t data[MAX_PATH + 1] = {};
  DWORD type = 0;
  DWORD size = sizeof(data) - sizeof(wchar_t);
  if (RegQueryValueExW(key, font.registry_value, nullptr, &type, reinterpret_cast<BYTE*>(data),
                       &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return false;
  }
  std::wstring text(data, size / sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return lstrcmpiW(text.c_str(), font.file_name) == 0;
}

}  // namespace

BundledFontSource* SetBundledFontSourceForTesting(BundledFontSource* source) {
  BundledFontSource* previous = g_source == &g_resource_source ? nullptr : g_source;
  g_source = source ? source : &g_resource_source;
  return previous;
}

std::wstring SystemFontsFolder() {
  wchar_t windows[MAX_PATH + 1] = {};
  const UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
  std::wstring dir = (n > 0 && n <= MAX_PATH) ? std::wstring(windows, n) : L"C:\\Windows";
  while (!dir.empty() && dir.back() == L'\\') dir.pop_back();
  return dir + L"\\Fonts";
}

int InstallBundledFonts() {
  for (const BundledFont& font : kBundledFonts) {
    const std::wstring path = InstalledPath(font);
    if (!OpensForReading(path)) {
      std::string bytes;
      if (!g_source->Read(font, bytes) || !WriteFont(path, bytes)) return 0;
    }
    if (RegistryString(kFontsRegistryKey, std::wstring(), font.registry_value, font.file_name) <
        0) {
      return 0;
    }
  }

  ApplyPendingFontUpdate();

  g_choice.chosen = true;
  g_choice.faces[0] = kBundledFonts[2].face_name;
  g_choice.faces[1] = kBundledFonts[3].face_name;
  g_choice.faces[2] = kBundledFonts[2].face_name;
  SetUiFontNames();
  const OverrideStore& option = TextAntiAliasOverride();
  g_choice.anti_alias =
      !option.is_set() || option.value() == L"text_anti_alias" || option.value() == L"taa";
  return 1;
}

void UninstallBundledFonts() {
  bool ours[kBundledFontCount] = {};
  bool present[kBundledFontCount] = {};
  for (int i = 0; i < kBundledFontCount; ++i) {
    const std::wstring path = InstalledPath(kBundledFonts[i]);
    present[i] = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    std::string installed;
    ours[i] =
        present[i] && ReadFileTextW(path, installed) && IsOurFontFile(kBundledFonts[i], installed);
  }

  {
    RegKey key(HKEY_LOCAL_MACHINE, kFontsRegistryKey, KEY_SET_VALUE | KEY_QUERY_VALUE);
    if (key.get() != nullptr) {
      for (int i = 0; i < kBundledFontCount; ++i) {
        // A value that registers someone else's font of the same name stays.
        if ((ours[i] || !present[i]) && ValueNamesFile(key.get(), kBundledFonts[i])) {
          RegDeleteValueW(key.get(), kBundledFonts[i].registry_value);
        }
      }
    }
  }
  PostMessageW(HWND_BROADCAST, WM_FONTCHANGE, 0, 0);

  for (int i = 0; i < kBundledFontCount; ++i) {
    // A failure (the font still in use) only means the updater's copy over
    // it fails too, which keeps the font list for the next start.
    if (ours[i]) DeleteFileW(InstalledPath(kBundledFonts[i]).c_str());
  }
}

UiFontChoice CurrentUiFontChoice() { return g_choice; }

void SetUiFontNames() {
  for (int i = 0; i < 3; ++i) g_choice.faces[3 + i] = g_choice.faces[i];
}

void ResetUiFontChoiceForTesting() { g_choice = UiFontChoice(); }
