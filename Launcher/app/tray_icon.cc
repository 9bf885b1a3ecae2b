#include "app/tray_icon.h"

#include <mmsystem.h>

#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include "app/launcher_manager.h"
#include "app/launcher_messages.h"

static_assert(sizeof(wchar_t) == 2, "the notice record holds UTF-16 texts");

namespace {

// uFlags of the icon: message, icon, tip and info.
constexpr UINT kIconFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
// A balloon is not pushed at a user who asked the system for quiet time.
constexpr DWORD kBalloonInfoFlags = 0x80;  // NIIF_RESPECT_QUIET_TIME
constexpr DWORD kBalloonNoSound = 0x10;    // NIIF_NOSOUND
constexpr DWORD kFlashFlags = FLASHW_TRAY | FLASHW_TIMERNOFG;
constexpr UINT kFlashCount = 5;
// SND_SYSTEM (the system's notification volume), which MinGW's headers lack.
constexpr DWORD kSoundSystem = 0x00200000;

// Reads a UTF-16 text of at most `chars` units (its 0 included) that starts
// `offset` bytes into the record. False when no 0 ends it within the field.
bool ReadField(const unsigned char* record, size_t offset, size_t chars, std::wstring& out) {
  std::wstring text;
  for (size_t i = 0; i < chars; ++i) {
    wchar_t c = 0;
    std::memcpy(&c, record + offset + i * sizeof(wchar_t), sizeof(wchar_t));
    if (c == 0) {
      out.swap(text);
      return true;
    }
    text.push_back(c);
  }
  return false;
}

// Copies `text` into a fixed array, cut to fit, always terminated.
template <size_t N>
void CopyBounded(const std::wstring& text, wchar_t (&field)[N]) {
  const size_t n = text.size() < N - 1 ? text.size() : N - 1;
  if (n > 0) std::memcpy(field, text.data(), n * sizeof(wchar_t));
  field[n] = 0;
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

wchar_t Upper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; }

// Names that Windows opens as devices in any folder ("C:\x\COM1.wav" may
// be the serial port), whatever extension follows.
bool IsDeviceName(const std::wstring& part) {
  std::wstring base = part.substr(0, part.find(L'.'));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  for (wchar_t& c : base) c = Upper(c);
  static const wchar_t* const kNames[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* name : kNames) {
    if (base == name) return true;
  }
  if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0)) {
    const wchar_t d = base[3];
    // Digits and the superscript digits that Windows also maps to ports.
    return (d >= L'0' && d <= L'9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
  }
  return false;
}

// A part made of dots and blanks only: ".." and the forms Windows may read
// as "." or "..".
bool IsDotsOnly(const std::wstring& part) {
  if (part.empty()) return false;
  for (wchar_t c : part) {
    if (c != L'.' && c != L' ') return false;
  }
  return true;
}

void PlayNoticeSoundNow(const std::wstring& path) {
  // A mapped network drive looks local; reading it would still go out over
  // the network for whoever sent the notice.
  const wchar_t root[] = {path[0], L':', L'\\', 0};
  if (GetDriveTypeW(root) == DRIVE_REMOTE) return;
  PlaySoundW(path.c_str(), nullptr, SND_FILENAME | kSoundSystem);
}

class RealShell : public TrayShell {
 public:
  bool NotifyIcon(DWORD command, NOTIFYICONDATAW& data) override {
    return Shell_NotifyIconW(command, &data) != FALSE;
  }

  void FlashWindow(const FLASHWINFO& info) override {
    FLASHWINFO copy = info;
    FlashWindowEx(&copy);
  }

  void PlaySoundAsync(const std::wstring& path) override { player_.Play(path); }

  UINT ShowMenu(HWND owner, HMENU popup) override {
    POINT at = {};
    GetCursorPos(&at);
    // Without the owner in front the menu would not close when the user
    // clicks elsewhere; the empty message afterwards lets it close at once.
    SetForegroundWindow(owner);
    const BOOL command = TrackPopupMenu(popup, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, at.x,
                                        at.y, 0, owner, nullptr);
    PostMessageW(owner, WM_NULL, 0, 0);
    return command > 0 ? static_cast<UINT>(command) : 0;
  }

 private:
  NoticeSoundPlayer player_{PlayNoticeSoundNow};
};

}  // namespace

// ---------------------------------------------------------------------------
// Records and paths.

bool ParseTrayNotice(const COPYDATASTRUCT* data, TrayNotice& out) {
  if (data == nullptr || data->dwData != 0) return false;
  if (data->cbData != kTrayNoticeSize || data->lpData == nullptr) return false;
  const auto* record = static_cast<const unsigned char*>(data->lpData);
  TrayNotice notice;
  if (!ReadField(record, kTrayNoticeTitleOffset, kTrayNoticeTitleChars, notice.title) ||
      !ReadField(record, kTrayNoticeTextOffset, kTrayNoticeTextChars, notice.text) ||
      !ReadField(record, kTrayNoticeSoundOffset, kTrayNoticeSoundChars, notice.sound)) {
    return false;
  }
  std::memcpy(&notice.flash_window, record + kTrayNoticeWindowOffset, sizeof(notice.flash_window));
  out = std::move(notice);
  return true;
}

bool IsPlayableNoticeSound(const std::wstring& path) {
  if (path.size() < 4) return false;
  const wchar_t drive = Upper(path[0]);
  if (drive < L'A' || drive > L'Z' || path[1] != L':' || !IsSeparator(path[2])) return false;
  for (wchar_t c : path) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  if (path.find(L':', 2) != std::wstring::npos) return false;
  size_t start = 3;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const std::wstring part = path.substr(start, end - start);
    if (IsDotsOnly(part) || IsDeviceName(part)) return false;
    start = end + 1;
  }
  return !IsSeparator(path.back());
}

// ---------------------------------------------------------------------------
// Shell.

TrayShell& RealTrayShell() {
  static RealShell shell;
  return shell;
}

// ---------------------------------------------------------------------------
// Sound player.

struct NoticeSoundPlayer::Shared {
  std::function<void(const std::wstring&)> play;
  std::mutex lock;
  std::condition_variable wake;
  std::wstring pending;
  bool has_pending = false;
  bool stop = false;
  bool started = false;
};

NoticeSoundPlayer::NoticeSoundPlayer(std::function<void(const std::wstring& path)> play)
    : shared_(std::make_shared<Shared>()) {
  shared_->play = std::move(play);
}

NoticeSoundPlayer::~NoticeSoundPlayer() {
  std::lock_guard<std::mutex> hold(shared_->lock);
  shared_->stop = true;
  shared_->has_pending = false;
  shared_->wake.notify_all();
}

void NoticeSoundPlayer::Play(const std::wstring& path) {
  std::lock_guard<std::mutex> hold(shared_->lock);
  shared_->pending = path;
  shared_->has_pending = true;
  if (!shared_->started) {
    // The thread holds the shared part itself and is never joined: a sound
    // that plays when the player goes must not hold up the exit.
    try {
      std::thread([shared = shared_] { Run(shared); }).detach();
      shared_->started = true;
    } catch (const std::exception&) {
      shared_->has_pending = false;  // no thread, no sound; the next one tries again
      return;
    }
  }
  shared_->wake.notify_all();
}

void NoticeSoundPlayer::Run(const std::shared_ptr<Shared>& shared) {
  for (;;) {
    std::wstring path;
    {
      std::unique_lock<std::mutex> hold(shared->lock);
      shared->wake.wait(hold, [&] { return shared->stop || shared->has_pending; });
      if (shared->stop) return;
      path.swap(shared->pending);
      shared->has_pending = false;
    }
    if (shared->play) shared->play(path);
  }
}

// ---------------------------------------------------------------------------
// The icon.

TrayIcon::TrayIcon(TrayShell* shell)
    : shell_(shell != nullptr ? shell : &RealTrayShell()),
      sink_([](UINT message, WPARAM wparam, LPARAM lparam) {
        LauncherManager::Instance().PostToMainWindow(message, wparam, lparam);
      }) {}

TrayIcon::~TrayIcon() {
  *alive_ = false;
  Uninstall();
}

bool TrayIcon::Install(HWND owner, HICON icon, const TextLookup& text_of) {
  Uninstall();
  owner_ = owner;
  if (owner_ != nullptr) SetPropW(owner_, kTrayIconProperty, this);

  data_ = std::make_unique<NOTIFYICONDATAW>();
  std::memset(data_.get(), 0, sizeof(NOTIFYICONDATAW));
  data_->cbSize = sizeof(NOTIFYICONDATAW);
  data_->hWnd = owner;
  data_->uFlags = kIconFlags;
  data_->uCallbackMessage = kMsgTrayIcon;
  data_->hIcon = icon;
  icon_added_ = shell_->NotifyIcon(NIM_ADD, *data_);
  if (icon_added_) {
    data_->uVersion = NOTIFYICON_VERSION_4;
    version4_ = shell_->NotifyIcon(NIM_SETVERSION, *data_);
  }

  const auto text = [&text_of](const wchar_t* id) { return text_of ? text_of(id) : id; };
  if (CreateMenus()) {
    AddMenuItem(kTrayMenuOpen, text(kTrayMenuOpenTextId));
    AddMenuItem(kTrayMenuExit, text(kTrayMenuExitTextId));
  }
  return icon_added_;
}

void TrayIcon::Uninstall() {
  if (data_ && icon_added_) shell_->NotifyIcon(NIM_DELETE, *data_);
  icon_added_ = false;
  version4_ = false;
  data_.reset();
  // Another TrayIcon may have taken the window since; its mark stays.
  if (owner_ != nullptr && GetPropW(owner_, kTrayIconProperty) == this) {
    RemovePropW(owner_, kTrayIconProperty);
  }
  owner_ = nullptr;
  Reset();
}

void TrayIcon::Reset() {
  items_.clear();
  if (popup_ != nullptr) {
    // Detached from the bar first, so that destroying the bar does not
    // destroy the pop-up a second time.
    if (menu_bar_ != nullptr) RemoveMenu(menu_bar_, 0, MF_BYPOSITION);
    DestroyMenu(popup_);
    popup_ = nullptr;
  }
  if (menu_bar_ != nullptr) {
    DestroyMenu(menu_bar_);
    menu_bar_ = nullptr;
  }
}

bool TrayIcon::CreateMenus() {
  Reset();
  menu_bar_ = CreateMenu();
  popup_ = CreatePopupMenu();
  if (menu_bar_ == nullptr || popup_ == nullptr ||
      !AppendMenuW(menu_bar_, MF_POPUP, reinterpret_cast<UINT_PTR>(popup_), L"PopMenu")) {
    Reset();
    return false;
  }
  return true;
}

bool TrayIcon::AddMenuItem(UINT id, const std::wstring& text) {
  if (popup_ == nullptr) return false;
  if (!AppendMenuW(popup_, MF_STRING, id, text.c_str())) return false;
  items_.emplace(id, text);  // an id known already keeps its first text
  return true;
}

void TrayIcon::FreeMenuMap() { items_.clear(); }

bool TrayIcon::ShowNotice(const COPYDATASTRUCT* data) {
  TrayNotice notice;
  if (!ParseTrayNotice(data, notice)) return false;
  if (!data_) return false;

  const bool own_sound = !notice.sound.empty() && IsPlayableNoticeSound(notice.sound);
  CopyBounded(notice.title, data_->szInfoTitle);
  CopyBounded(notice.text, data_->szInfo);
  const UINT saved_flags = data_->uFlags;
  const DWORD saved_info_flags = data_->dwInfoFlags;
  data_->uFlags = NIF_INFO;
  data_->dwInfoFlags = kBalloonInfoFlags | (own_sound ? kBalloonNoSound : 0);
  const bool shown = shell_->NotifyIcon(NIM_MODIFY, *data_);
  data_->uFlags = saved_flags;
  data_->dwInfoFlags = saved_info_flags;
  if (!shown) return false;

  // Only a window with a taskbar button: a child window or a stale handle
  // named by the sender is left alone.
  const HWND window = reinterpret_cast<HWND>(static_cast<uintptr_t>(notice.flash_window));
  if (window != nullptr && IsWindow(window) && GetAncestor(window, GA_ROOT) == window) {
    FLASHWINFO flash = {};
    flash.cbSize = sizeof(flash);
    flash.hwnd = window;
    flash.dwFlags = kFlashFlags;
    flash.uCount = kFlashCount;
    flash.dwTimeout = 0;  // the system's cursor blink rate
    shell_->FlashWindow(flash);
  }
  if (own_sound) shell_->PlaySoundAsync(notice.sound);
  return true;
}

bool TrayIcon::HandleTrayMessage(WPARAM, LPARAM lparam) {
  const UINT event = LOWORD(lparam);
  if (event == WM_LBUTTONDBLCLK) {
    Send(kMsgShowWindow, 2, 0);
    return true;
  }
  if (event != (version4_ ? static_cast<UINT>(WM_CONTEXTMENU) : static_cast<UINT>(WM_RBUTTONUP))) {
    return false;
  }
  // The menu runs a message loop of its own, in which the same message may
  // arrive again, or the main window may go away with this icon.
  if (menu_open_ || popup_ == nullptr || owner_ == nullptr) return true;
  const std::shared_ptr<bool> alive = alive_;
  menu_open_ = true;
  const UINT command = shell_->ShowMenu(owner_, popup_);
  if (!*alive) return true;
  menu_open_ = false;
  if (items_.count(command) == 0) return true;
  if (command == kTrayMenuOpen) {
    Send(kMsgShowWindow, 0, 0);
  } else if (command == kTrayMenuExit) {
    Send(kMsgExit, 0, 0);
  }
  return true;
}

void TrayIcon::Send(UINT message, WPARAM wparam, LPARAM lparam) {
  if (sink_) sink_(message, wparam, lparam);
}
