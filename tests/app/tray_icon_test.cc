#include "app/tray_icon.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/launcher_messages.h"
#include "test_process.h"

namespace {

// The sender test of CrossProcess reads the receiving window from here.
const wchar_t kTargetVariable[] = L"LAUNCHER_TEST_TRAY_TARGET";

// ---------------------------------------------------------------------------
// Fakes and helpers.

class FakeTrayShell : public TrayShell {
 public:
  struct IconCall {
    DWORD command;
    NOTIFYICONDATAW data;
  };

  bool NotifyIcon(DWORD command, NOTIFYICONDATAW& data) override {
    IconCall call;
    call.command = command;
    std::memcpy(&call.data, &data, sizeof(data));
    icon_calls.push_back(call);
    log.push_back(command == NIM_MODIFY ? "balloon" : "icon");
    if (command == NIM_SETVERSION) return accept_version;
    if (command == NIM_MODIFY) return accept_modify;
    return accept_add;
  }
  void FlashWindow(const FLASHWINFO& info) override {
    flashes.push_back(info);
    log.push_back("flash");
  }
  void PlaySoundAsync(const std::wstring& path) override {
    sounds.push_back(path);
    log.push_back("sound");
  }
  UINT ShowMenu(HWND owner, HMENU popup) override {
    menus.push_back({owner, popup});
    log.push_back("menu");
    if (during_menu) during_menu();
    return menu_choice;
  }

  std::vector<IconCall> Balloons() const {
    std::vector<IconCall> out;
    for (const IconCall& call : icon_calls) {
      if (call.command == NIM_MODIFY) out.push_back(call);
    }
    return out;
  }
  void ClearCalls() {
    icon_calls.clear();
    flashes.clear();
    sounds.clear();
    menus.clear();
    log.clear();
  }

  bool accept_add = true;
  bool accept_version = true;
  bool accept_modify = true;
  UINT menu_choice = 0;
  std::function<void()> during_menu;

  std::vector<IconCall> icon_calls;
  std::vector<FLASHWINFO> flashes;
  std::vector<std::wstring> sounds;
  std::vector<std::pair<HWND, HMENU>> menus;
  std::vector<std::string> log;
};

struct Sent {
  UINT message;
  WPARAM wparam;
  LPARAM lparam;
  bool operator==(const Sent& o) const {
    return message == o.message && wparam == o.wparam && lparam == o.lparam;
  }
};

// A hidden top-level window: the icon's owner and a window notices may flash.
class TestWindow {
 public:
  explicit TestWindow(HWND parent = nullptr) {
    static const ATOM kClass = [] {
      WNDCLASSW wc = {};
      wc.lpfnWndProc = &TestWindow::Proc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.lpszClassName = L"TrayIconTestWindow";
      return RegisterClassW(&wc);
    }();
    (void)kClass;
    hwnd_ = CreateWindowExW(0, L"TrayIconTestWindow", L"tray test",
                            parent ? WS_CHILD : WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, parent,
                            nullptr, GetModuleHandleW(nullptr), nullptr);
  }
  ~TestWindow() { Destroy(); }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  void Destroy() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
    hwnd_ = nullptr;
  }

  // Where the cross-process test routes the main window's messages.
  static TrayIcon* routed_icon;

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (routed_icon != nullptr) {
      if (message == WM_COPYDATA) {
        return routed_icon->ShowNotice(reinterpret_cast<const COPYDATASTRUCT*>(lparam)) ? TRUE
                                                                                        : FALSE;
      }
      if (message == kMsgTrayIcon) {
        routed_icon->HandleTrayMessage(wparam, lparam);
        return 0;
      }
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
  }

  HWND hwnd_ = nullptr;
};
TrayIcon* TestWindow::routed_icon = nullptr;

// A TrayNotice record built field by field.
class NoticeRecord {
 public:
  NoticeRecord() : bytes_(kTrayNoticeSize, 0) {}

  NoticeRecord& Title(const std::wstring& s) {
    return Put(kTrayNoticeTitleOffset, kTrayNoticeTitleChars, s);
  }
  NoticeRecord& Text(const std::wstring& s) {
    return Put(kTrayNoticeTextOffset, kTrayNoticeTextChars, s);
  }
  NoticeRecord& Sound(const std::wstring& s) {
    return Put(kTrayNoticeSoundOffset, kTrayNoticeSoundChars, s);
  }
  NoticeRecord& Window(uint64_t value) {
    std::memcpy(&bytes_[kTrayNoticeWindowOffset], &value, sizeof(value));
    return *this;
  }
  // Fills a whole field with letters, leaving no terminator in it.
  NoticeRecord& Fill(size_t offset, size_t chars) {
    for (size_t i = 0; i < chars; ++i) {
      const wchar_t c = L'A' + static_cast<wchar_t>(i % 26);
      std::memcpy(&bytes_[offset + i * 2], &c, 2);
    }
    return *this;
  }
  NoticeRecord& Resize(size_t size) {
    bytes_.resize(size, 0x41);
    return *this;
  }
  const std::vector<unsigned char>& bytes() const { return bytes_; }

 private:
  NoticeRecord& Put(size_t offset, size_t chars, const std::wstring& s) {
    EXPECT_LT(s.size(), chars);
    std::memset(&bytes_[offset], 0, chars * 2);
    std::memcpy(&bytes_[offset], s.data(), std::min(s.size(), chars - 1) * 2);
    return *this;
  }
  std::vector<unsigned char> bytes_;
};

// Bytes that end exactly where an inaccessible page begins, so a read past
// their end crashes the test instead of passing unseen.
class GuardedBytes {
 public:
  explicit GuardedBytes(const std::vector<unsigned char>& bytes) {
    SYSTEM_INFO info = {};
    GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    size_t pages = (bytes.size() + page - 1) / page;
    if (pages == 0) pages = 1;
    base_ = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, (pages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (base_ == nullptr) return;
    DWORD old = 0;
    VirtualProtect(base_ + pages * page, page, PAGE_NOACCESS, &old);
    data_ = base_ + pages * page - bytes.size();
    if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
  }
  ~GuardedBytes() {
    if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
  }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;
  void* data() const { return data_; }

 private:
  unsigned char* base_ = nullptr;
  unsigned char* data_ = nullptr;
};

uint64_t HandleValue(HWND hwnd) { return reinterpret_cast<uintptr_t>(hwnd); }

std::wstring MenuText(HMENU menu, UINT item, UINT by) {
  wchar_t text[128] = {};
  GetMenuStringW(menu, item, text, 128, by);
  return text;
}

class TrayIconTest : public ::testing::Test {
 protected:
  TrayIconTest() : icon_(std::make_unique<TrayIcon>(&shell_)) {
    icon_->set_main_window_sink([this](UINT message, WPARAM wparam, LPARAM lparam) {
      sent_.push_back({message, wparam, lparam});
    });
  }

  void Install() {
    ASSERT_NE(owner_.hwnd(), nullptr);
    ASSERT_TRUE(icon_->Install(owner_.hwnd(), icon_handle_, [](const std::wstring& id) {
      if (id == L"STRING_NOTIFYTRAY_OPEN") return std::wstring(L"Open launcher");
      if (id == L"STRING_NOTIFYTRAY_EXIT") return std::wstring(L"Exit");
      return L"?" + id;
    }));
    shell_.ClearCalls();
  }

  bool Show(const NoticeRecord& record) {
    GuardedBytes bytes(record.bytes());
    COPYDATASTRUCT cds = {};
    cds.dwData = 0;
    cds.cbData = static_cast<DWORD>(record.bytes().size());
    cds.lpData = bytes.data();
    return icon_->ShowNotice(&cds);
  }

  FakeTrayShell shell_;
  TestWindow owner_;
  HICON icon_handle_ = LoadIconW(nullptr, IDI_APPLICATION);
  std::vector<Sent> sent_;
  std::unique_ptr<TrayIcon> icon_;
};

// ---------------------------------------------------------------------------
// The icon and its menu.

TEST_F(TrayIconTest, InstallAddsIconAndMenu) {
  EXPECT_EQ(sizeof(NOTIFYICONDATAW), 976u);
  ASSERT_TRUE(icon_->Install(owner_.hwnd(), icon_handle_, [](const std::wstring& id) {
    return id == L"STRING_NOTIFYTRAY_OPEN" ? std::wstring(L"Open launcher") : std::wstring(L"Exit");
  }));

  ASSERT_EQ(shell_.icon_calls.size(), 2u);
  const NOTIFYICONDATAW& add = shell_.icon_calls[0].data;
  EXPECT_EQ(shell_.icon_calls[0].command, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(add.cbSize, 976u);
  EXPECT_EQ(add.hWnd, owner_.hwnd());
  EXPECT_EQ(add.uFlags, 0x17u);
  EXPECT_EQ(add.uCallbackMessage, 2025u);
  EXPECT_EQ(add.hIcon, icon_handle_);
  EXPECT_EQ(add.szTip[0], L'\0');
  EXPECT_EQ(shell_.icon_calls[1].command, static_cast<DWORD>(NIM_SETVERSION));
  EXPECT_EQ(shell_.icon_calls[1].data.uVersion, 4u);
  EXPECT_TRUE(icon_->version4());
  EXPECT_EQ(GetPropW(owner_.hwnd(), L"NotifyTrayData"), icon_.get());

  const HMENU bar = icon_->menu_bar();
  const HMENU popup = icon_->popup_menu();
  ASSERT_TRUE(IsMenu(bar));
  ASSERT_TRUE(IsMenu(popup));
  EXPECT_EQ(GetMenuItemCount(bar), 1);
  EXPECT_EQ(GetSubMenu(bar, 0), popup);
  EXPECT_EQ(MenuText(bar, 0, MF_BYPOSITION), L"PopMenu");
  ASSERT_EQ(GetMenuItemCount(popup), 2);
  EXPECT_EQ(GetMenuItemID(popup, 0), 2026u);
  EXPECT_EQ(GetMenuItemID(popup, 1), 2028u);
  EXPECT_EQ(MenuText(popup, 2026, MF_BYCOMMAND), L"Open launcher");
  EXPECT_EQ(MenuText(popup, 2028, MF_BYCOMMAND), L"Exit");
  EXPECT_EQ(icon_->menu_items(),
            (std::map<UINT, std::wstring>{{2026, L"Open launcher"}, {2028, L"Exit"}}));

  icon_->Uninstall();
  ASSERT_EQ(shell_.icon_calls.size(), 3u);
  EXPECT_EQ(shell_.icon_calls[2].command, static_cast<DWORD>(NIM_DELETE));
  EXPECT_EQ(shell_.icon_calls[2].data.hWnd, owner_.hwnd());
  EXPECT_EQ(GetPropW(owner_.hwnd(), L"NotifyTrayData"), nullptr);
  EXPECT_FALSE(IsMenu(bar));
  EXPECT_FALSE(IsMenu(popup));
  EXPECT_EQ(icon_->icon_data(), nullptr);
  EXPECT_TRUE(icon_->menu_items().empty());
  icon_->Uninstall();  // twice is harmless
  EXPECT_EQ(shell_.icon_calls.size(), 3u);
}

TEST_F(TrayIconTest, MenuTextsDefaultToTheIdsAndRefusedIconsAreNotRemoved) {
  shell_.accept_add = false;
  EXPECT_FALSE(icon_->Install(owner_.hwnd(), icon_handle_, nullptr));
  ASSERT_EQ(shell_.icon_calls.size(), 1u);  // no version asked without an icon
  EXPECT_EQ(MenuText(icon_->popup_menu(), 2026, MF_BYCOMMAND), L"STRING_NOTIFYTRAY_OPEN");
  EXPECT_EQ(MenuText(icon_->popup_menu(), 2028, MF_BYCOMMAND), L"STRING_NOTIFYTRAY_EXIT");
  icon_.reset();
  EXPECT_EQ(shell_.icon_calls.size(), 1u);  // nothing to delete
  EXPECT_EQ(GetPropW(owner_.hwnd(), L"NotifyTrayData"), nullptr);
}

TEST_F(TrayIconTest, MenuItemsAndReset) {
  EXPECT_FALSE(icon_->AddMenuItem(1, L"no menu yet"));
  ASSERT_TRUE(icon_->CreateMenus());
  EXPECT_TRUE(icon_->AddMenuItem(7, L"first"));
  EXPECT_TRUE(icon_->AddMenuItem(7, L"second"));  // appended, but the map keeps the first
  EXPECT_EQ(GetMenuItemCount(icon_->popup_menu()), 2);
  EXPECT_EQ(icon_->menu_items(), (std::map<UINT, std::wstring>{{7, L"first"}}));

  icon_->FreeMenuMap();
  EXPECT_TRUE(icon_->menu_items().empty());
  EXPECT_TRUE(IsMenu(icon_->popup_menu()));

  const HMENU old_bar = icon_->menu_bar();
  const HMENU old_popup = icon_->popup_menu();
  icon_->Reset();
  EXPECT_EQ(icon_->menu_bar(), nullptr);
  EXPECT_EQ(icon_->popup_menu(), nullptr);
  EXPECT_FALSE(IsMenu(old_bar));
  EXPECT_FALSE(IsMenu(old_popup));
  icon_->Reset();
}

TEST_F(TrayIconTest, SecondInstallReplacesTheFirst) {
  Install();
  const HMENU first_popup = icon_->popup_menu();
  Install();
  EXPECT_FALSE(IsMenu(first_popup));
  EXPECT_EQ(GetMenuItemCount(icon_->popup_menu()), 2);
  EXPECT_EQ(GetPropW(owner_.hwnd(), L"NotifyTrayData"), icon_.get());
}

// ---------------------------------------------------------------------------
// The tray callback.

TEST_F(TrayIconTest, CallbackEvents) {
  Install();
  struct Case {
    LPARAM lparam;
    UINT choice;
    bool handled;
    size_t menus;
    std::vector<Sent> sent;
  };
  const std::vector<Case> cases = {
      {WM_LBUTTONDBLCLK, 0, true, 0, {{kMsgShowWindow, 2, 0}}},
      // The icon id rides in the high word with interface version 4.
      {MAKELPARAM(WM_LBUTTONDBLCLK, 7), 0, true, 0, {{kMsgShowWindow, 2, 0}}},
      {WM_CONTEXTMENU, 2026, true, 1, {{kMsgShowWindow, 0, 0}}},
      {WM_CONTEXTMENU, 2028, true, 1, {{kMsgExit, 0, 0}}},
      {WM_CONTEXTMENU, 0, true, 1, {}},      // dismissed
      {WM_CONTEXTMENU, 31337, true, 1, {}},  // not an item of ours
      {WM_RBUTTONUP, 2028, false, 0, {}},    // version 4 opens on the context menu only
      {WM_LBUTTONUP, 0, false, 0, {}},
      {WM_MOUSEMOVE, 0, false, 0, {}},
      {0, 0, false, 0, {}},
      {static_cast<LPARAM>(0xFFFFFFFF), 0, false, 0, {}},
      {static_cast<LPARAM>(-1), 0, false, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "lparam " << c.lparam << " choice " << c.choice);
    shell_.ClearCalls();
    sent_.clear();
    shell_.menu_choice = c.choice;
    EXPECT_EQ(icon_->HandleTrayMessage(static_cast<WPARAM>(-1), c.lparam), c.handled);
    ASSERT_EQ(shell_.menus.size(), c.menus);
    if (c.menus > 0) {
      EXPECT_EQ(shell_.menus[0].first, owner_.hwnd());
      EXPECT_EQ(shell_.menus[0].second, icon_->popup_menu());
    }
    EXPECT_EQ(sent_, c.sent);
  }
}

TEST_F(TrayIconTest, RightButtonOpensTheMenuWithoutVersion4) {
  shell_.accept_version = false;
  Install();
  EXPECT_FALSE(icon_->version4());
  shell_.menu_choice = 2026;
  EXPECT_TRUE(icon_->HandleTrayMessage(0, WM_RBUTTONUP));
  EXPECT_EQ(shell_.menus.size(), 1u);
  EXPECT_FALSE(icon_->HandleTrayMessage(0, WM_CONTEXTMENU));
  EXPECT_EQ(sent_, (std::vector<Sent>{{kMsgShowWindow, 0, 0}}));
}

TEST_F(TrayIconTest, MenuIsNeverOpenedTwiceAndSurvivesItsIcon) {
  // No menu before the icon exists.
  EXPECT_TRUE(icon_->HandleTrayMessage(0, WM_RBUTTONUP));
  EXPECT_TRUE(shell_.menus.empty());

  Install();
  // The same message arriving inside the menu's own loop.
  shell_.menu_choice = 2028;
  shell_.during_menu = [this] {
    EXPECT_TRUE(icon_->HandleTrayMessage(0, WM_CONTEXTMENU));
    EXPECT_TRUE(icon_->HandleTrayMessage(0, WM_CONTEXTMENU));
  };
  EXPECT_TRUE(icon_->HandleTrayMessage(0, WM_CONTEXTMENU));
  EXPECT_EQ(shell_.menus.size(), 1u);
  EXPECT_EQ(sent_, (std::vector<Sent>{{kMsgExit, 0, 0}}));

  // The main window going away while its menu is open.
  shell_.ClearCalls();
  sent_.clear();
  shell_.during_menu = [this] { icon_.reset(); };
  TrayIcon* icon = icon_.get();
  EXPECT_TRUE(icon->HandleTrayMessage(0, WM_CONTEXTMENU));
  EXPECT_EQ(icon_, nullptr);
  EXPECT_TRUE(sent_.empty());
  EXPECT_EQ(shell_.log, (std::vector<std::string>{"menu", "icon"}));  // menu, then NIM_DELETE
}

// ---------------------------------------------------------------------------
// Notices.

TEST_F(TrayIconTest, NoticeShowsBalloonFlashesAndPlays) {
  Install();
  TestWindow game;
  ASSERT_TRUE(Show(NoticeRecord()
                       .Title(L"Hello")
                       .Text(L"World")
                       .Sound(L"C:\\Games\\Vexa\\ding.wav")
                       .Window(HandleValue(game.hwnd()))));

  EXPECT_EQ(shell_.log, (std::vector<std::string>{"balloon", "flash", "sound"}));
  const NOTIFYICONDATAW& balloon = shell_.icon_calls[0].data;
  EXPECT_EQ(balloon.uFlags, static_cast<UINT>(NIF_INFO));
  EXPECT_EQ(balloon.dwInfoFlags, 0x90u);  // no balloon sound: the notice brings its own
  EXPECT_STREQ(balloon.szInfoTitle, L"Hello");
  EXPECT_STREQ(balloon.szInfo, L"World");
  EXPECT_EQ(balloon.hWnd, owner_.hwnd());
  // The icon's own flags are back for later calls.
  EXPECT_EQ(icon_->icon_data()->uFlags, 0x17u);
  EXPECT_EQ(icon_->icon_data()->dwInfoFlags, 0u);

  ASSERT_EQ(shell_.flashes.size(), 1u);
  const FLASHWINFO& flash = shell_.flashes[0];
  EXPECT_EQ(flash.cbSize, 32u);
  EXPECT_EQ(flash.hwnd, game.hwnd());
  EXPECT_EQ(flash.dwFlags, 14u);
  EXPECT_EQ(flash.uCount, 5u);
  EXPECT_EQ(flash.dwTimeout, 0u);
  EXPECT_EQ(shell_.sounds, std::vector<std::wstring>{L"C:\\Games\\Vexa\\ding.wav"});
}

TEST_F(TrayIconTest, NoticeTextsTable) {
  Install();
  const std::wstring longest_title(63, L'T');
  const std::wstring longest_text(255, L'x');
  struct Case {
    std::wstring title;
    std::wstring text;
  };
  const std::vector<Case> cases = {
      {L"", L"text without title"},
      {L"title", L""},  // an empty text takes a shown balloon away
      {L"", L""},
      {longest_title, longest_text},
      {L"\u30b2\u30fc\u30e0", L"% %s %n %ls \u00e9"},
  };
  for (const Case& c : cases) {
    shell_.ClearCalls();
    ASSERT_TRUE(Show(NoticeRecord().Title(c.title).Text(c.text)));
    const std::vector<FakeTrayShell::IconCall> balloons = shell_.Balloons();
    ASSERT_EQ(balloons.size(), 1u);
    EXPECT_EQ(std::wstring(balloons[0].data.szInfoTitle), c.title);
    EXPECT_EQ(std::wstring(balloons[0].data.szInfo), c.text);
    EXPECT_EQ(balloons[0].data.dwInfoFlags, 0x80u);  // the balloon's own sound
    EXPECT_TRUE(shell_.flashes.empty());
    EXPECT_TRUE(shell_.sounds.empty());
  }
}

TEST_F(TrayIconTest, NoBalloonNoFlashNoSoundWithoutIconOrWhenRefused) {
  TestWindow game;
  const NoticeRecord record =
      NoticeRecord().Title(L"t").Text(L"x").Sound(L"C:\\a.wav").Window(HandleValue(game.hwnd()));
  EXPECT_FALSE(Show(record));  // before Install
  EXPECT_TRUE(shell_.log.empty());

  Install();
  shell_.accept_modify = false;
  EXPECT_FALSE(Show(record));
  EXPECT_EQ(shell_.log, std::vector<std::string>{"balloon"});
}

// Records that other processes may send: none may be read past its end,
// and none is shown.
TEST_F(TrayIconTest, HostileRecordsAreRefused) {
  Install();
  TestWindow game;
  const NoticeRecord good =
      NoticeRecord().Title(L"t").Text(L"x").Sound(L"C:\\a.wav").Window(HandleValue(game.hwnd()));
  struct Case {
    const char* name;
    ULONG_PTR dw_data;
    std::vector<unsigned char> bytes;
    DWORD cb_data;  // the size the record claims
    bool null_data;
  };
  auto with_size = [&](size_t size) { return NoticeRecord(good).Resize(size).bytes(); };
  const std::vector<Case> cases = {
      {"dwData 1", 1, good.bytes(), kTrayNoticeSize, false},
      {"dwData max", ~ULONG_PTR{0}, good.bytes(), kTrayNoticeSize, false},
      {"zero size", 0, {}, 0, false},
      {"zero size, null data", 0, {}, 0, true},
      {"null data, full size", 0, {}, kTrayNoticeSize, true},
      {"one byte", 0, with_size(1), 1, false},
      {"title only", 0, with_size(128), 128, false},
      {"one byte short", 0, with_size(kTrayNoticeSize - 1), kTrayNoticeSize - 1, false},
      {"no window field", 0, with_size(kTrayNoticeWindowOffset), kTrayNoticeWindowOffset, false},
      {"one byte long", 0, with_size(kTrayNoticeSize + 1), kTrayNoticeSize + 1, false},
      {"twice as long", 0, with_size(2 * kTrayNoticeSize), 2 * kTrayNoticeSize, false},
      {"claims 4 GiB", 0, with_size(16), 0xFFFFFFFFu, false},
      {"unterminated title", 0,
       NoticeRecord(good).Fill(kTrayNoticeTitleOffset, kTrayNoticeTitleChars).bytes(),
       kTrayNoticeSize, false},
      {"unterminated text", 0,
       NoticeRecord(good).Fill(kTrayNoticeTextOffset, kTrayNoticeTextChars).bytes(),
       kTrayNoticeSize, false},
      {"unterminated sound", 0,
       NoticeRecord(good).Fill(kTrayNoticeSoundOffset, kTrayNoticeSoundChars).bytes(),
       kTrayNoticeSize, false},
      {"nothing terminated", 0, NoticeRecord().Fill(0, kTrayNoticeWindowOffset / 2).bytes(),
       kTrayNoticeSize, false},
  };
  EXPECT_FALSE(icon_->ShowNotice(nullptr));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Only the bytes really there are readable; the claimed size may say more.
    GuardedBytes bytes(c.bytes);
    COPYDATASTRUCT cds = {};
    cds.dwData = c.dw_data;
    cds.cbData = c.cb_data;
    cds.lpData = c.null_data ? nullptr : bytes.data();
    TrayNotice parsed;
    EXPECT_FALSE(ParseTrayNotice(&cds, parsed));
    EXPECT_FALSE(icon_->ShowNotice(&cds));
  }
  EXPECT_TRUE(shell_.log.empty());

  // The good record itself passes at the very end of readable memory.
  EXPECT_TRUE(Show(good));
  EXPECT_EQ(shell_.log, (std::vector<std::string>{"balloon", "flash", "sound"}));
}

TEST_F(TrayIconTest, FieldsFilledToTheirLastUnitAreRead) {
  const std::wstring title(63, L't');
  const std::wstring text(255, L'x');
  const std::wstring sound = L"C:\\" + std::wstring(1016, L's') + L".wav";
  ASSERT_EQ(sound.size(), 1023u);
  NoticeRecord record = NoticeRecord().Title(title).Text(text).Sound(sound).Window(0x1234);
  GuardedBytes bytes(record.bytes());
  COPYDATASTRUCT cds = {0, static_cast<DWORD>(kTrayNoticeSize), bytes.data()};
  TrayNotice parsed;
  ASSERT_TRUE(ParseTrayNotice(&cds, parsed));
  EXPECT_EQ(parsed.title, title);
  EXPECT_EQ(parsed.text, text);
  EXPECT_EQ(parsed.sound, sound);
  EXPECT_EQ(parsed.flash_window, 0x1234u);

  Install();
  ASSERT_TRUE(Show(record));
  EXPECT_EQ(shell_.sounds, std::vector<std::wstring>{sound});
  EXPECT_TRUE(shell_.flashes.empty());  // 0x1234 is no window
}

TEST_F(TrayIconTest, SoundPathTable) {
  Install();
  struct Case {
    std::wstring path;
    bool played;
  };
  const std::vector<Case> cases = {
      {L"C:\\Games\\Vexa\\ding.wav", true},
      {L"c:/Games/Vexa/ding.wav", true},
      {L"D:\\my sounds\\COMPASS.wav", true},
      {L"D:\\sounds\\console.wav", true},
      {L"D:\\sounds\\a..b.wav", true},
      // Network and device paths.
      {L"\\\\server\\share\\x.wav", false},
      {L"//server/share/x.wav", false},
      {L"\\/server/share/x.wav", false},
      {L"/\\server\\share\\x.wav", false},
      {L"\\\\?\\C:\\x.wav", false},
      {L"\\\\?\\UNC\\server\\share\\x.wav", false},
      {L"\\\\.\\pipe\\x", false},
      {L"\\\\127.0.0.1\\c$\\x.wav", false},
      // Climbing out of a folder.
      {L"C:\\Games\\..\\..\\Windows\\x.wav", false},
      {L"C:\\Games\\Vexa\\..", false},
      {L"C:/Games/../x.wav", false},
      {L"C:\\Games\\...\\x.wav", false},
      {L"C:\\Games\\.. \\x.wav", false},
      {L"C:\\.\\x.wav", false},
      {L"..\\x.wav", false},
      // Not a full local path.
      {L"x.wav", false},
      {L"\\x.wav", false},
      {L"C:x.wav", false},
      {L"1:\\x.wav", false},
      {L"C:\\", false},
      {L"C:\\sounds\\", false},
      // Streams, devices, control characters.
      {L"C:\\a\\x.wav:secret", false},
      {L"C:\\a\\COM1.wav", false},
      {L"C:\\a\\lpt9", false},
      {L"C:\\a\\nul.txt.wav", false},
      {L"C:\\a\\CON .wav", false},
      {L"C:\\a\\conout$", false},
      {L"C:\\a\\x\n.wav", false},
      {std::wstring(L"C:\\a\\x") + L'\x7f' + L".wav", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.path.c_str());
    EXPECT_EQ(IsPlayableNoticeSound(c.path), c.played);
    shell_.ClearCalls();
    // The balloon comes either way: a refused sound is only left out.
    ASSERT_TRUE(Show(NoticeRecord().Title(L"t").Text(L"x").Sound(c.path)));
    const std::vector<FakeTrayShell::IconCall> balloons = shell_.Balloons();
    ASSERT_EQ(balloons.size(), 1u);
    EXPECT_EQ(balloons[0].data.dwInfoFlags, c.played ? 0x90u : 0x80u);
    EXPECT_EQ(shell_.sounds.size(), c.played ? 1u : 0u);
  }
}

TEST_F(TrayIconTest, OnlyLiveTopLevelWindowsAreFlashed) {
  Install();
  TestWindow top;
  TestWindow child(top.hwnd());
  TestWindow gone;
  const uint64_t gone_value = HandleValue(gone.hwnd());
  gone.Destroy();
  ASSERT_NE(child.hwnd(), nullptr);
  struct Case {
    const char* name;
    uint64_t window;
    bool flashed;
  };
  const std::vector<Case> cases = {
      {"top-level", HandleValue(top.hwnd()), true},
      {"owner", HandleValue(owner_.hwnd()), true},
      {"null", 0, false},
      {"child", HandleValue(child.hwnd()), false},
      {"destroyed", gone_value, false},
      {"made up", 0x00ABCDEF, false},
      {"all ones", ~uint64_t{0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    shell_.ClearCalls();
    ASSERT_TRUE(Show(NoticeRecord().Title(L"t").Text(L"x").Window(c.window)));
    ASSERT_EQ(shell_.flashes.size(), c.flashed ? 1u : 0u);
    if (c.flashed) {
      EXPECT_EQ(HandleValue(shell_.flashes[0].hwnd), c.window);
    }
  }
}

// ---------------------------------------------------------------------------
// The sound player.

TEST(NoticeSoundPlayerTest, PlaysOnItsOwnThreadAndKeepsOnlyTheNewestWaitingSound) {
  struct State {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CRITICAL_SECTION lock;
    std::vector<std::wstring> started;
    std::vector<DWORD> threads;
    State() { InitializeCriticalSection(&lock); }
    ~State() {
      DeleteCriticalSection(&lock);
      CloseHandle(release);
    }
    size_t count() {
      EnterCriticalSection(&lock);
      const size_t n = started.size();
      LeaveCriticalSection(&lock);
      return n;
    }
  };
  // Shared with the player's thread, which may outlive the test's frame.
  auto state = std::make_shared<State>();
  NoticeSoundPlayer player([state](const std::wstring& path) {
    EnterCriticalSection(&state->lock);
    state->started.push_back(path);
    state->threads.push_back(GetCurrentThreadId());
    LeaveCriticalSection(&state->lock);
    // A long sound; bounded so that a player that waited for it fails the
    // test instead of hanging it.
    WaitForSingleObject(state->release, 10000);
  });

  const ULONGLONG before = GetTickCount64();
  player.Play(L"C:\\one.wav");
  ASSERT_TRUE(testsupport::WaitUntil([&] { return state->count() == 1; }, 5000));
  player.Play(L"C:\\two.wav");
  player.Play(L"C:\\three.wav");
  player.Play(L"C:\\four.wav");
  // Asked for while the first sound still plays: none of that waited.
  EXPECT_LT(GetTickCount64() - before, 5000u);
  EXPECT_EQ(state->count(), 1u);
  SetEvent(state->release);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return state->count() == 2; }, 5000));
  EnterCriticalSection(&state->lock);
  EXPECT_EQ(state->started, (std::vector<std::wstring>{L"C:\\one.wav", L"C:\\four.wav"}));
  EXPECT_NE(state->threads[0], GetCurrentThreadId());
  LeaveCriticalSection(&state->lock);
}

// ---------------------------------------------------------------------------
// A real WM_COPYDATA from another process: this program started again with
// a filter that runs only the sender below.

TEST_F(TrayIconTest, CrossProcessNotices) {
  Install();
  TestWindow::routed_icon = icon_.get();
  struct Unroute {
    ~Unroute() { TestWindow::routed_icon = nullptr; }
  } unroute;

  const std::wstring target = std::to_wstring(HandleValue(owner_.hwnd()));
  ASSERT_TRUE(SetEnvironmentVariableW(kTargetVariable, target.c_str()));
  wchar_t self[MAX_PATH * 4] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH * 4), 0u);
  testsupport::TestProcess sender(
      self,
      L"--gtest_filter=TrayNoticeSender.DISABLED_SendRecords --gtest_also_run_disabled_tests");
  SetEnvironmentVariableW(kTargetVariable, nullptr);
  ASSERT_TRUE(sender.started());

  // Sent messages are handled while this thread pumps.
  DWORD exit_code = 1;
  const ULONGLONG deadline = GetTickCount64() + 60000;
  bool ended = false;
  while (!ended && GetTickCount64() < deadline) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    ended = sender.WaitForExit(0, &exit_code);
  }
  ASSERT_TRUE(ended) << "the sender did not finish";
  EXPECT_EQ(exit_code, 0u);

  // The acceptable records became balloons; the sounds that climb out of
  // their folder or reach the network were left out.
  const std::vector<FakeTrayShell::IconCall> balloons = shell_.Balloons();
  ASSERT_EQ(balloons.size(), 3u);
  EXPECT_STREQ(balloons[0].data.szInfoTitle, L"From the game");
  EXPECT_STREQ(balloons[0].data.szInfo, L"Patch ready");
  EXPECT_EQ(balloons[0].data.dwInfoFlags, 0x90u);
  EXPECT_STREQ(balloons[1].data.szInfoTitle, L"Climbing");
  EXPECT_EQ(balloons[1].data.dwInfoFlags, 0x80u);
  EXPECT_STREQ(balloons[2].data.szInfoTitle, L"Network sound");
  EXPECT_EQ(balloons[2].data.dwInfoFlags, 0x80u);
  EXPECT_EQ(shell_.sounds, std::vector<std::wstring>{L"C:\\Games\\Vexa\\ding.wav"});
  ASSERT_EQ(shell_.flashes.size(), 3u);
  for (const FLASHWINFO& flash : shell_.flashes) EXPECT_EQ(flash.hwnd, owner_.hwnd());
  EXPECT_EQ(sent_, (std::vector<Sent>{{kMsgShowWindow, 2, 0}}));
}

// Runs only inside CrossProcessNotices's second process.
TEST(TrayNoticeSender, DISABLED_SendRecords) {
  wchar_t value[64] = {};
  const DWORD n = GetEnvironmentVariableW(kTargetVariable, value, 64);
  if (n == 0 || n >= 64) GTEST_SKIP() << "no receiving window";
  const HWND target =
      reinterpret_cast<HWND>(static_cast<uintptr_t>(std::wcstoull(value, nullptr, 10)));
  ASSERT_TRUE(IsWindow(target));

  auto send = [target](ULONG_PTR dw_data, const void* data, DWORD size) {
    COPYDATASTRUCT cds = {dw_data, size, const_cast<void*>(data)};
    DWORD_PTR result = 0;
    const LRESULT sent = SendMessageTimeoutW(target, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds),
                                             SMTO_ABORTIFHUNG, 10000, &result);
    return sent != 0 && result == TRUE;
  };
  const NoticeRecord good = NoticeRecord()
                                .Title(L"From the game")
                                .Text(L"Patch ready")
                                .Sound(L"C:\\Games\\Vexa\\ding.wav")
                                .Window(HandleValue(target));
  EXPECT_TRUE(send(0, good.bytes().data(), kTrayNoticeSize));

  const std::vector<unsigned char> short_record(good.bytes().begin(), good.bytes().begin() + 100);
  EXPECT_FALSE(send(0, short_record.data(), 100));
  EXPECT_FALSE(send(0, nullptr, 0));
  EXPECT_FALSE(send(7, good.bytes().data(), kTrayNoticeSize));
  const NoticeRecord long_record = NoticeRecord(good).Resize(4096);
  EXPECT_FALSE(send(0, long_record.bytes().data(), 4096));
  const NoticeRecord unterminated =
      NoticeRecord(good).Fill(kTrayNoticeTitleOffset, kTrayNoticeTitleChars);
  EXPECT_FALSE(send(0, unterminated.bytes().data(), kTrayNoticeSize));
  const NoticeRecord climbing =
      NoticeRecord(good).Title(L"Climbing").Sound(L"C:\\Games\\..\\..\\x.wav");
  const NoticeRecord network =
      NoticeRecord(good).Title(L"Network sound").Sound(L"\\\\server\\share\\x.wav");
  EXPECT_TRUE(send(0, climbing.bytes().data(), kTrayNoticeSize));
  EXPECT_TRUE(send(0, network.bytes().data(), kTrayNoticeSize));

  // The icon's callback message with made-up parameters.
  DWORD_PTR ignored = 0;
  EXPECT_NE(SendMessageTimeoutW(target, kMsgTrayIcon, 0, WM_LBUTTONDBLCLK, SMTO_ABORTIFHUNG, 10000,
                                &ignored),
            0);
  EXPECT_NE(SendMessageTimeoutW(target, kMsgTrayIcon, 12345, static_cast<LPARAM>(-1),
                                SMTO_ABORTIFHUNG, 10000, &ignored),
            0);
  EXPECT_NE(
      SendMessageTimeoutW(target, kMsgTrayIcon, 0, WM_MOUSEMOVE, SMTO_ABORTIFHUNG, 10000, &ignored),
      0);
}

}  // namespace
