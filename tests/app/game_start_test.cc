// Starting the game client: its command line for each kind of installed
// version, the instance test on its mutex, the start-up environment, and the
// real start of the stand-in client (VEXA.exe of tests/support) from a game
// folder with a blank, which then registers with a stand-in main window and
// asks for the pre-download status, sizes and speed.
#include "app/game_start.h"

#include <windows.h>

#include <aclapi.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/command_line.h"
#include "app/dialog_requests.h"
#include "app/file_util.h"
#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "bound_thread.h"
#include "test_dir.h"
#include "test_process.h"

namespace {

using testsupport::FileExists;
using testsupport::ReadWholeFile;
using testsupport::WaitUntil;
using testsupport::WriteWholeFile;

// ------------------------------------------------------- the command line

struct LaunchCase {
  const char* name;
  std::wstring folder;
  std::string md5;
  std::string version;
  std::wstring platform;
  int slot;
  std::wstring expected;
};

TEST(GameLaunchTest, CommandLineForEachKindOfInstalledVersion) {
  const std::wstring m = L"0123456789abcdef0123456789abcdef";
  const std::string md5 = "0123456789abcdef0123456789abcdef";
  const std::wstring exe = L"\"C:\\Games\\G\\VEXA.exe\"";
  const std::vector<LaunchCase> cases = {
      {"spec example", L"C:\\Games\\G", md5, "10080_3_2", L"", 0, exe + L" " + m + L" win 0|1"},
      {"old client", L"C:\\Games\\G", md5, "10076_9_9", L"", 0, exe + L" " + m},
      {"first new client", L"C:\\Games\\G", md5, "10077_0_0", L"", 0, exe + L" " + m + L" win 0|1"},
      {"unknown version", L"C:\\Games\\G", md5, "", L"", 0, exe + L" " + m + L" win 0|1"},
      {"two parts", L"C:\\Games\\G", md5, "10080_3", L"", 0, exe + L" " + m},
      {"four parts", L"C:\\Games\\G", md5, "10080_3_2_1", L"", 0, exe + L" " + m},
      {"no numbers", L"C:\\Games\\G", md5, "a_b_c", L"", 0, exe + L" " + m},
      {"empty md5", L"C:\\Games\\G", "", "10080_3_2", L"", 0, exe + L" empty win 0|1"},
      {"set_platform", L"C:\\Games\\G", md5, "10080_3_2", L"abc", 0, exe + L" " + m + L" abc 0|1"},
      {"trailing separator", L"C:\\Games\\G\\", md5, "", L"", 0, exe + L" " + m + L" win 0|1"},
      {"forward slashes", L"C:/Games/G", md5, "", L"", 0, exe + L" " + m + L" win 0|1"},
      {"blank in folder", L"C:\\Program Files\\Varnholt Game", md5, "10080_3_2", L"", 0,
       L"\"C:\\Program Files\\Varnholt Game\\VEXA.exe\" " + m + L" win 0|1"},
  };
  for (const LaunchCase& c : cases) {
    SCOPED_TRACE(c.name);
    const GameLaunch launch = BuildGameLaunch(c.folder, c.md5, c.slot, c.version, c.platform);
    EXPECT_EQ(launch.command_line, c.expected);
    EXPECT_EQ(launch.folder, c.folder);
  }
  EXPECT_EQ(BuildGameLaunch(L"C:\\Program Files\\G", md5, 0, "", L"").program,
            L"C:\\Program Files\\G\\VEXA.exe");
}

// -------------------------------------------------------- instance tests

TEST(GameInstanceTest, MutexDecidesWithoutBeingCreated) {
  std::vector<int> free_slots;
  EXPECT_FALSE(IsGameRunning());
  EXPECT_EQ(CountRunningGames(free_slots), 0);
  EXPECT_EQ(free_slots, std::vector<int>{0});
  // The test left no mutex behind: a client starting now creates it afresh.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kGameInstanceMutex);
  ASSERT_NE(mutex, nullptr);
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

  free_slots.clear();
  EXPECT_TRUE(IsGameRunning());
  EXPECT_EQ(CountRunningGames(free_slots), 1);
  EXPECT_TRUE(free_slots.empty());
  CloseHandle(mutex);
  EXPECT_FALSE(IsGameRunning());
}

TEST(GameInstanceTest, AMutexWeMayNotOpenStillMeansRunning) {
  // An empty access list grants nobody anything, as a client of another
  // user's session looks to us.
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  alignas(ACL) unsigned char acl_buffer[sizeof(ACL) + 16] = {};
  ACL* acl = reinterpret_cast<ACL*>(acl_buffer);
  ASSERT_TRUE(InitializeAcl(acl, sizeof(acl_buffer), ACL_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
  SECURITY_ATTRIBUTES sa = {sizeof(sa), &sd, FALSE};
  HANDLE mutex = CreateMutexW(&sa, FALSE, kGameInstanceMutex);
  ASSERT_NE(mutex, nullptr);
  HANDLE probe = OpenMutexW(SYNCHRONIZE, FALSE, kGameInstanceMutex);
  const DWORD error = GetLastError();
  if (probe != nullptr) {
    CloseHandle(probe);
    CloseHandle(mutex);
    GTEST_SKIP() << "this system does not enforce access lists on mutexes";
  }
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(IsGameRunning());
  std::vector<int> free_slots;
  EXPECT_EQ(CountRunningGames(free_slots), 1);
  CloseHandle(mutex);
}

// ------------------------------------------------- start-up environment

TEST(StartupEnvironmentTest, KeepsTheValuesOfStartUp) {
  wchar_t buffer[32768];
  const DWORD n = GetEnvironmentVariableW(L"PATH", buffer, 32768);
  const std::wstring path(buffer, n);
  CaptureStartupEnvironment();
  SetEnvironmentVariableW(L"PATH", (L"Z:\\runtime;" + path).c_str());
  std::wstring saved;
  ASSERT_TRUE(StartupEnvironmentValue(L"Path", saved));  // names without case
  EXPECT_EQ(saved, path);
  EXPECT_FALSE(StartupEnvironmentValue(L"NO_SUCH_VARIABLE_HERE", saved));
  const std::vector<wchar_t> block = StartupEnvironment();
  ASSERT_GE(block.size(), 2u);
  EXPECT_EQ(block[block.size() - 1], L'\0');
  EXPECT_EQ(block[block.size() - 2], L'\0');
  SetEnvironmentVariableW(L"PATH", path.c_str());
  ClearStartupEnvironmentForTesting();
  EXPECT_TRUE(StartupEnvironment().empty());
  EXPECT_FALSE(StartupEnvironmentValue(L"PATH", saved));
}

// ---------------------------------------------- StartGame with the manager

struct RecordedBox {
  MessageBoxSpec spec;
};

std::mutex g_mutex;
std::vector<RecordedBox> g_boxes;
std::vector<std::string> g_events;
std::vector<std::pair<UINT, LPARAM>> g_main_messages;

class ScriptedDialogs : public DialogFactory {
 public:
  bool ShowMessageBox(HWND, const MessageBoxSpec& spec, std::function<void(int)> closed) override {
    {
      std::lock_guard<std::mutex> hold(g_mutex);
      g_boxes.push_back({spec});
    }
    closed(1);
    return true;
  }
  bool ShowOptionsBox(HWND, const OptionsBoxSpec&, std::function<void(int)> closed) override {
    closed(0);
    return true;
  }
};

// The main window's part in the protocol: a registering client joins the
// game windows; its questions are answered through the worker.
LRESULT CALLBACK MainProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  LauncherManager& manager = LauncherManager::Instance();
  if (msg >= kMsgGameRegister && msg <= kMsgPreDownloadNotify) {
    {
      std::lock_guard<std::mutex> hold(g_mutex);
      g_main_messages.push_back({msg, lparam});
    }
    switch (msg) {
      case kMsgGameRegister:
        manager.RegisterGameWindow(reinterpret_cast<HWND>(lparam));
        break;
      case kMsgPreDownloadStatusQuery:
        manager.PostToGameWindows(kMsgPreDownloadStatus, 0, 3);
        break;
      case kMsgPreDownloadProgressQuery:
        manager.PostToGameWindows(kMsgPreDownloadProgress, 5000, 1250);
        break;
      case kMsgPreDownloadSpeedQuery:
        manager.PostToGameWindows(kMsgPreDownloadSpeed, 30, 4096);
        break;
      default:
        break;
    }
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

std::map<std::string, std::string> ReadRecord(const std::wstring& path) {
  std::map<std::string, std::string> out;
  const std::string text = ReadWholeFile(path);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t eq = line.find('=');
    if (eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
    start = end + 1;
  }
  return out;
}

std::string Utf8(const std::wstring& wide) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

class StartGameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard<std::mutex> hold(g_mutex);
      g_boxes.clear();
      g_events.clear();
      g_main_messages.clear();
    }
    LauncherManager& manager = LauncherManager::Instance();
    manager.ResetForTesting();
    game_folder_ = testsupport::TestDir() + L"Game Folder";
    MakeDirsW(game_folder_);
    LauncherSettings settings = manager.settings();
    settings.gamePath = game_folder_;
    manager.set_settings(settings);
    manager.set_game_send_timeout_ms(300);
    LauncherManager::Hooks hooks;
    hooks.send_launcher_event = [](const std::string& info, const std::string&, const std::string&,
                                   const std::string&, const std::string& step, bool now) {
      std::lock_guard<std::mutex> hold(g_mutex);
      g_events.push_back(info + "|" + step + "|" + (now ? "now" : "queued"));
    };
    manager.SetHooks(hooks);

    ui_ = std::make_unique<testsupport::BoundThread>(
        nbase::kMainThreadId, nbase::MessageLoop::Kind::kUI, [this] {
          WNDCLASSEXW wc = {};
          wc.cbSize = sizeof(wc);
          wc.lpfnWndProc = &MainProc;
          wc.hInstance = GetModuleHandleW(nullptr);
          wc.lpszClassName = L"GameStartTestMain";
          RegisterClassExW(&wc);
          window_ = CreateWindowExW(0, wc.lpszClassName, L"main", 0, 0, 0, 10, 10, nullptr, nullptr,
                                    wc.hInstance, nullptr);
          LauncherManager& m = LauncherManager::Instance();
          m.SetDialogFactory(std::make_unique<ScriptedDialogs>());
          m.SetMainWindow(window_);
        });
    worker_ = std::make_unique<testsupport::BoundThread>(nbase::kMiscThreadId,
                                                         nbase::MessageLoop::Kind::kDefault);
  }

  void TearDown() override {
    EndGame();
    testsupport::RunOn(nbase::kMiscThreadId);
    testsupport::RunOn(nbase::kMainThreadId, [this] {
      LauncherManager::Instance().SetMainWindow(nullptr);
      DestroyWindow(window_);
      LauncherManager::Instance().SetDialogFactory(nullptr);
    });
    worker_.reset();
    ui_.reset();
    ClearStartupEnvironmentForTesting();
    LauncherManager::Instance().ResetForTesting();
  }

  void InstallStandIn() {
    ASSERT_TRUE(CopyFileW(testsupport::BuiltTestTool(L"VEXA.exe").c_str(),
                          (game_folder_ + L"\\VEXA.exe").c_str(), FALSE));
  }
  std::wstring GameFile(const wchar_t* name) const { return game_folder_ + L"\\" + name; }

  bool WaitForStart() {
    return WaitUntil([&] { return ReadRecord(GameFile(L"vexa_start.txt")).count("window") != 0; },
                     20000);
  }

  // Ends a stand-in that is still running, whatever state it is in.
  void EndGame() {
    const auto record = ReadRecord(GameFile(L"vexa_start.txt"));
    auto pid = record.find("pid");
    if (pid == record.end()) return;
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                 static_cast<DWORD>(std::stoul(pid->second)));
    if (process == nullptr) return;
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
  }

  std::vector<std::string> GameMessages() {
    std::vector<std::string> out;
    const std::string text = ReadWholeFile(GameFile(L"vexa_messages.txt"));
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      out.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return out;
  }

  std::vector<RecordedBox> Boxes() {
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_boxes;
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_events;
  }

  std::wstring game_folder_;
  HWND window_ = nullptr;
  std::unique_ptr<testsupport::BoundThread> ui_;
  std::unique_ptr<testsupport::BoundThread> worker_;
};

TEST_F(StartGameTest, StartsTheClientInAFolderWithABlankWithTheStartUpEnvironment) {
  InstallStandIn();
  LauncherManager& manager = LauncherManager::Instance();
  manager.set_local_game_version("10080_3_2");
  manager.deleteLogTxt = true;
  MakeDirsW(GameFile(L"save"));
  ASSERT_TRUE(WriteWholeFile(GameFile(L"save\\log.txt"), "old log"));

  wchar_t buffer[32768];
  DWORD n = GetEnvironmentVariableW(L"PATH", buffer, 32768);
  const std::wstring path(buffer, n);
  n = GetEnvironmentVariableW(L"ComSpec", buffer, 32768);
  const std::wstring comspec = n > 0 ? std::wstring(buffer, n) : std::wstring(L"<unset>");
  CaptureStartupEnvironment();
  // What the web runtime does to the launcher's own environment later.
  SetEnvironmentVariableW(L"PATH", (L"Z:\\launcher\\cef;" + path).c_str());
  SetEnvironmentVariableW(L"ComSpec", L"Z:\\elsewhere\\cmd.exe");
  const bool started = manager.StartGame("version_map.txt", "0123456789abcdef0123456789abcdef", 0);
  SetEnvironmentVariableW(L"PATH", path.c_str());
  if (comspec != L"<unset>") SetEnvironmentVariableW(L"ComSpec", comspec.c_str());
  ASSERT_TRUE(started);
  ASSERT_TRUE(WaitForStart());

  const auto record = ReadRecord(GameFile(L"vexa_start.txt"));
  EXPECT_EQ(record.at("cmdline"),
            Utf8(L"\"" + game_folder_ + L"\\VEXA.exe\" 0123456789abcdef0123456789abcdef win 0|1"));
  EXPECT_EQ(record.at("cwd"), Utf8(game_folder_));
  EXPECT_EQ(record.at("PATH"), Utf8(path));
  EXPECT_EQ(record.at("ComSpec"), Utf8(comspec));
  EXPECT_FALSE(FileExists(GameFile(L"save\\log.txt")));
  EXPECT_EQ(Events(), std::vector<std::string>{"rungame|pre_install|queued"});
  EXPECT_TRUE(Boxes().empty());
  EXPECT_TRUE(IsGameRunning());

  // The client registers and asks; the answers reach it through the worker.
  ASSERT_TRUE(WaitUntil([&] { return GameMessages().size() >= 3; }, 20000));
  EXPECT_EQ(GameMessages(),
            (std::vector<std::string>{"2527 0 3", "2529 5000 1250", "2531 30 4096"}));
  ASSERT_EQ(manager.game_windows().size(), 1u);
  EXPECT_EQ(std::to_string(reinterpret_cast<uintptr_t>(manager.game_windows()[0])),
            record.at("window"));

  // A state change the worker announces reaches the registered client.
  manager.PostToGameWindows(kMsgPreDownloadStatus, 0, 4);
  ASSERT_TRUE(WaitUntil([&] { return GameMessages().size() >= 4; }, 20000));
  EXPECT_EQ(GameMessages().back(), "2527 0 4");

  ASSERT_TRUE(WriteWholeFile(GameFile(L"vexa_quit"), ""));
  EXPECT_TRUE(WaitUntil([] { return !IsGameRunning(); }, 20000));
}

TEST_F(StartGameTest, AHangingClientDoesNotHoldUpTheWorker) {
  InstallStandIn();
  ASSERT_TRUE(WriteWholeFile(GameFile(L"vexa_hang"), ""));
  LauncherManager& manager = LauncherManager::Instance();
  ASSERT_TRUE(manager.StartGame("version_map.txt", "", 0));
  ASSERT_TRUE(WaitForStart());
  EXPECT_EQ(ReadRecord(GameFile(L"vexa_start.txt")).at("cmdline"),
            Utf8(L"\"" + game_folder_ + L"\\VEXA.exe\" empty win 0|1"));
  // Its questions were answered by sends that it never takes; the worker
  // moves on after the send timeout of each.
  ASSERT_TRUE(WaitUntil(
      [] {
        std::lock_guard<std::mutex> hold(g_mutex);
        return g_main_messages.size() >= 4;
      },
      20000));
  const ULONGLONG begin = GetTickCount64();
  EXPECT_TRUE(testsupport::RunOn(nbase::kMiscThreadId, nullptr, 15000));
  EXPECT_LT(GetTickCount64() - begin, 15000u);
  EXPECT_TRUE(IsGameRunning());
  EXPECT_TRUE(GameMessages().empty());
}

TEST_F(StartGameTest, AClientThatCannotStartIsAFailureTheUserIsToldOf) {
  // No VEXA.exe in the folder.
  LauncherManager& manager = LauncherManager::Instance();
  EXPECT_FALSE(manager.StartGame("version_map.txt", "0123456789abcdef0123456789abcdef", 0));
  testsupport::RunOn(nbase::kMainThreadId);
  const std::vector<RecordedBox> boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].spec.title.value, L"STRING_ERROR_NOTICE");
  EXPECT_EQ(boxes[0].spec.content.value, L"STRING_ERROR_START_GAME_FAILED");
  EXPECT_EQ(boxes[0].spec.second_button.value, L"STRING_CONFIRM");
  EXPECT_TRUE(boxes[0].spec.first_button.value.empty());
  EXPECT_TRUE(Events().empty());
}

class RecordingStarter : public GameProcessStarter {
 public:
  bool Start(const GameLaunch& launch) override {
    launches.push_back(launch);
    return true;
  }
  std::vector<GameLaunch> launches;
};

TEST_F(StartGameTest, OnlySlotZeroStartsAndPlatformOverrideIsPassed) {
  RecordingStarter starter;
  SetGameProcessStarterForTesting(&starter);
  LauncherManager& manager = LauncherManager::Instance();
  manager.set_local_game_version("10077_0_0");
  EXPECT_FALSE(manager.StartGame("version_map.txt", "m", 1));
  EXPECT_TRUE(starter.launches.empty());

  ASSERT_TRUE(PlatformOverride().Set(L"abc"));
  manager.deleteLogTxt = true;  // no log file: nothing to say
  EXPECT_TRUE(manager.StartGame("version_map.txt", "m", 0));
  PlatformOverride().Clear();
  SetGameProcessStarterForTesting(nullptr);
  ASSERT_EQ(starter.launches.size(), 1u);
  EXPECT_EQ(starter.launches[0].command_line, L"\"" + game_folder_ + L"\\VEXA.exe\" m abc 0|1");
  EXPECT_EQ(starter.launches[0].program, game_folder_ + L"\\VEXA.exe");
  EXPECT_EQ(starter.launches[0].folder, game_folder_);
  testsupport::RunOn(nbase::kMainThreadId);
  EXPECT_TRUE(Boxes().empty());
}

TEST(GameDirTest, FindsTheClientProgram) {
  const std::wstring folder = testsupport::TestDir() + L"G";
  MakeDirsW(folder);
  EXPECT_FALSE(IsGameDir(folder));
  ASSERT_TRUE(WriteWholeFile(folder + L"\\VEXA.exe", "x"));
  EXPECT_TRUE(IsGameDir(folder));
  EXPECT_TRUE(IsGameDir(folder + L"\\"));
}

}  // namespace
