// The main window's notification-area icon: its record, its two-item menu
// (open, exit), its callback message, and the tray notices that other
// processes (in practice the game client) send as WM_COPYDATA records to
// show a balloon, flash a taskbar button and play a sound.
//
// Threads: a TrayIcon lives on the UI thread and every member runs there.
// The notice sound is handed to a player thread of its own, so the UI thread
// (and the sender, which waits while its WM_COPYDATA is handled) never waits
// for a sound.
//
// Trust: the callback message and WM_COPYDATA reach the main window from any
// process with any parameters. A notice record is refused unless it has
// exactly the record's size and three terminated texts; texts are copied
// with bounds, sound paths that could reach the network or climb out of
// their folder are dropped, and only a live top-level window is flashed.
//
// Everything that reaches the shell, the sound system or another process's
// window goes through TrayShell, so tests can watch it.
#pragma once

#include <windows.h>

#include <shellapi.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

// The TrayNotice record of WM_COPYDATA (dwData 0), little-endian:
// title (64 UTF-16 units), text (256), sound path (1024), each ending in a 0
// within its field; then the 8-byte handle of the window to flash.
inline constexpr size_t kTrayNoticeTitleChars = 64;
inline constexpr size_t kTrayNoticeTextChars = 256;
inline constexpr size_t kTrayNoticeSoundChars = 1024;
inline constexpr size_t kTrayNoticeTitleOffset = 0;
inline constexpr size_t kTrayNoticeTextOffset = 128;
inline constexpr size_t kTrayNoticeSoundOffset = 640;
inline constexpr size_t kTrayNoticeWindowOffset = 2688;
inline constexpr size_t kTrayNoticeSize = 2696;

// Menu command ids of the tray menu (the same numbers as kMsgShowWindow and
// kMsgExit) and the language ids of their texts.
inline constexpr UINT kTrayMenuOpen = 2026;
inline constexpr UINT kTrayMenuExit = 2028;
inline constexpr wchar_t kTrayMenuOpenTextId[] = L"STRING_NOTIFYTRAY_OPEN";
inline constexpr wchar_t kTrayMenuExitTextId[] = L"STRING_NOTIFYTRAY_EXIT";

// The main window's property that holds its TrayIcon's address.
inline constexpr wchar_t kTrayIconProperty[] = L"NotifyTrayData";

// A notice as read from its record.
struct TrayNotice {
  std::wstring title;
  std::wstring text;
  std::wstring sound;         // empty: no sound of its own
  uint64_t flash_window = 0;  // handle value of the window to flash
};

// Reads a WM_COPYDATA record. False, `out` untouched, for a null record,
// dwData other than 0, a size other than kTrayNoticeSize, null data, or a
// text that has no terminating 0 inside its field. Never reads outside the
// cbData bytes at lpData, which need no alignment.
[[nodiscard]] bool ParseTrayNotice(const COPYDATASTRUCT* data, TrayNotice& out);

// Whether a notice's sound path may be played: a full local path "X:\..."
// (or "X:/...") of printable characters, without a ".." part and without a
// ":" after the drive. Paths beginning with two separators ("\\server\...",
// "\\?\...", "//server/...") are refused: opening them would make the
// launcher reach out over the network for whoever sent the notice.
bool IsPlayableNoticeSound(const std::wstring& path);

// The calls that reach the shell, the sound system and other windows.
class TrayShell {
 public:
  virtual ~TrayShell() = default;
  // Shell_NotifyIconW.
  virtual bool NotifyIcon(DWORD command, NOTIFYICONDATAW& data) = 0;
  // FlashWindowEx.
  virtual void FlashWindow(const FLASHWINFO& info) = 0;
  // Starts a sound and returns at once; the path has passed
  // IsPlayableNoticeSound.
  virtual void PlaySoundAsync(const std::wstring& path) = 0;
  // Shows `popup` at the cursor for `owner` and returns the chosen command
  // id, 0 when nothing was chosen.
  virtual UINT ShowMenu(HWND owner, HMENU popup) = 0;
};

// The shell itself; the sound plays on a NoticeSoundPlayer thread
// (PlaySoundW with SND_FILENAME | SND_SYSTEM), skipped for network drives.
TrayShell& RealTrayShell();

// Plays sounds one at a time on a thread of its own. A sound asked for while
// another plays waits; a newer request replaces a waiting one, so a flood of
// notices can neither pile up work nor block the caller. The thread starts
// with the first sound and lives as long as the player, which the process
// keeps until its end.
class NoticeSoundPlayer {
 public:
  // play runs on the player's thread and may take as long as the sound does.
  explicit NoticeSoundPlayer(std::function<void(const std::wstring& path)> play);
  // Drops a waiting sound; a sound that plays is not waited for.
  ~NoticeSoundPlayer();
  NoticeSoundPlayer(const NoticeSoundPlayer&) = delete;
  NoticeSoundPlayer& operator=(const NoticeSoundPlayer&) = delete;

  void Play(const std::wstring& path);

 private:
  struct Shared;
  static void Run(const std::shared_ptr<Shared>& shared);
  std::shared_ptr<Shared> shared_;
};

class TrayIcon {
 public:
  // The text of a language id.
  using TextLookup = std::function<std::wstring(const std::wstring& id)>;
  // Where the icon's actions go: kMsgShowWindow and kMsgExit for the main
  // window. Defaults to LauncherManager::PostToMainWindow, which delivers
  // them as a task after the current message is handled.
  using MainWindowSink = std::function<void(UINT message, WPARAM wparam, LPARAM lparam)>;

  // shell: null for the real shell; otherwise not owned and must outlive the
  // icon.
  explicit TrayIcon(TrayShell* shell = nullptr);
  // Removes the icon and frees the menus.
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  void set_main_window_sink(MainWindowSink sink) { sink_ = std::move(sink); }

  // Makes the icon for `owner`: marks owner with kTrayIconProperty, adds the
  // icon (callback message kMsgTrayIcon, uFlags 0x17, empty tip) and asks for
  // interface version 4, then builds the menu with the texts of
  // kTrayMenuOpenTextId and kTrayMenuExitTextId (the ids themselves when
  // text_of is empty). `icon` stays the caller's. False when the shell
  // refused the icon; the menu is built either way, and a second call
  // replaces what the first made.
  bool Install(HWND owner, HICON icon, const TextLookup& text_of);
  // Takes the icon out of the notification area, removes the property and
  // frees the menus and the id map. Safe to call more than once.
  void Uninstall();

  // Empties the id map and destroys both menus (pop-up first), clearing
  // their handles.
  void Reset();
  // Makes an empty menu bar and pop-up, the pop-up appended to the bar as
  // "PopMenu", after a Reset of any menus there were. False when the system
  // could not make them.
  bool CreateMenus();
  // Appends a string item to the pop-up; when that worked, remembers
  // id -> text unless the id is known already. False without a pop-up.
  bool AddMenuItem(UINT id, const std::wstring& text);
  // Empties the id map (the menus are left as they are).
  void FreeMenuMap();

  // Handles one WM_COPYDATA. Shows the balloon (title and text, no sound of
  // its own when the notice brings a playable sound), then flashes the
  // record's window when it is a top-level window and starts the sound.
  // Nothing happens for a refused record, before the icon exists or when the
  // shell refuses the balloon. True when the balloon was shown.
  bool ShowNotice(const COPYDATASTRUCT* data);

  // Handles kMsgTrayIcon. The event is the low word of lparam: a left double
  // click sends kMsgShowWindow (2, 0); the context menu (WM_CONTEXTMENU with
  // interface version 4, the right button's release without it) opens the
  // menu, and its items send kMsgShowWindow (0, 0) or kMsgExit (0, 0). A menu
  // that is open is never opened a second time. True when the event was one
  // of these.
  bool HandleTrayMessage(WPARAM wparam, LPARAM lparam);

  HWND owner() const { return owner_; }
  const NOTIFYICONDATAW* icon_data() const { return data_.get(); }
  bool version4() const { return version4_; }
  HMENU menu_bar() const { return menu_bar_; }
  HMENU popup_menu() const { return popup_; }
  const std::map<UINT, std::wstring>& menu_items() const { return items_; }

 private:
  void Send(UINT message, WPARAM wparam, LPARAM lparam);

  TrayShell* shell_;
  MainWindowSink sink_;
  std::unique_ptr<NOTIFYICONDATAW> data_;
  HWND owner_ = nullptr;
  bool icon_added_ = false;
  bool version4_ = false;
  bool menu_open_ = false;
  HMENU menu_bar_ = nullptr;
  HMENU popup_ = nullptr;
  std::map<UINT, std::wstring> items_;
  // Cleared by the destructor; the menu's own message loop may end with
  // this icon gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
