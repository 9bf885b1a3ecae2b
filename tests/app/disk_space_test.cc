#include "app/disk_space.h"

#include <windows.h>

#include <cwctype>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/launcher_manager.h"
#include "app/system_util.h"
#include "test_dir.h"

namespace {

constexpr uint64_t kGiB = 1ull << 30;

const wchar_t kUpdateTextEn[] =
    L"You do not have {p2} of available space on disk(s) {p1}. Insufficient space may cause the "
    L"game to not work properly. Continue downloading?";
const wchar_t kInstallTextEn[] = L"Not enough disk space. %ls needed.";

// Free space per drive root ("D:\", recorded in upper case); a root without
// an entry cannot be queried, like a drive that does not exist.
class FakeDiskSpace : public DiskSpaceSource {
 public:
  bool Query(const std::wstring& given, uint64_t& total, uint64_t& available) override {
    std::wstring root = given;
    for (wchar_t& c : root) c = static_cast<wchar_t>(std::towupper(c));
    roots.push_back(root);
    auto it = available_by_root.find(root);
    if (it == available_by_root.end()) return false;
    total = 1000 * kGiB;
    available = it->second;
    return true;
  }
  std::map<std::wstring, uint64_t> available_by_root;
  std::vector<std::wstring> roots;
};

class ScopedDiskSpace {
 public:
  explicit ScopedDiskSpace(DiskSpaceSource* source)
      : previous_(SetDiskSpaceSourceForTesting(source)) {}
  ~ScopedDiskSpace() { SetDiskSpaceSourceForTesting(previous_); }
  ScopedDiskSpace(const ScopedDiskSpace&) = delete;
  ScopedDiskSpace& operator=(const ScopedDiskSpace&) = delete;

 private:
  DiskSpaceSource* previous_;
};

struct Box {
  bool plain_content = false;  // true: request_text_box, false: request_box
  std::wstring title_id;
  std::wstring content;  // an id, or the plain text
  std::wstring first_button_id;
  std::wstring second_button_id;
  ModalResultCallback result;
};

class DiskSpaceCheckTest : public ::testing::Test {
 protected:
  DiskSpaceCheckTest() : scoped_(&disk_) {}

  DiskSpaceEnv Env() {
    DiskSpaceEnv env;
    env.text_of = [](const std::wstring& id) -> std::wstring {
      if (id == L"STRING_ERROR_NEED_DISKSPACE_R") return kUpdateTextEn;
      if (id == L"STRING_ERROR_NEED_DISKSPACE") return kInstallTextEn;
      return L"?" + id;
    };
    env.request_box = [this](const std::wstring& title, const std::wstring& content,
                             const std::wstring& first, const std::wstring& second,
                             ModalResultCallback result) {
      boxes_.push_back(Box{false, title, content, first, second, std::move(result)});
    };
    env.request_text_box = [this](const std::wstring& title, const std::wstring& content,
                                  const std::wstring& first, const std::wstring& second,
                                  ModalResultCallback result) {
      boxes_.push_back(Box{true, title, content, first, second, std::move(result)});
    };
    env.game_folder = [this] { return game_folder_; };
    env.module_path = [this] { return module_path_; };
    return env;
  }

  ModalResultCallback Recorder() {
    return [this](int value) { results_.push_back(value); };
  }

  void ExpectInvalidSpaceNotice(const Box& box) {
    EXPECT_FALSE(box.plain_content);
    EXPECT_EQ(box.title_id, L"STRING_ERROR_NOTICE");
    EXPECT_EQ(box.content, L"STRING_ERROR_INVALID_DISKSPACE");
    EXPECT_EQ(box.first_button_id, L"");
    EXPECT_EQ(box.second_button_id, L"STRING_CONFIRM");
    EXPECT_FALSE(box.result);
  }

  FakeDiskSpace disk_;
  ScopedDiskSpace scoped_;
  std::wstring game_folder_ = L"D:\\Games\\Vexa";
  std::wstring module_path_ = L"C:\\Launcher\\launcher.exe";
  std::vector<Box> boxes_;
  std::vector<int> results_;
};

TEST(DiskSpaceTextTest, AmountIsFixed) { EXPECT_EQ(RequiredSpaceText(), L" 4.00G"); }

// Translations are data: whatever "%" they hold, the amount goes in once and
// nothing is read as a format.
TEST(DiskSpaceTextTest, SubstitutePlaceholderTable) {
  struct Case {
    const wchar_t* text;
    const wchar_t* value;
    const wchar_t* expected;
  };
  const std::vector<Case> cases = {
      {L"Not enough disk space. %ls needed.", L" 4.00G", L"Not enough disk space.  4.00G needed."},
      {L"%s", L"V", L"V"},
      {L"need %s and %ls", L"V", L"need V and %ls"},
      {L"need %ls and %s", L"V", L"need V and %s"},
      {L"100%% sure: %ls", L"V", L"100% sure: V"},
      {L"%%s is literal, %s is not", L"V", L"%s is literal, V is not"},
      {L"%d %n %x %p %ls %S", L"V", L"%d %n %x %p V %S"},
      {L"%n%n%n%n%s%s%s", L"V", L"%n%n%n%nV%s%s"},
      {L"no placeholder", L"V", L"no placeholder"},
      {L"", L"V", L""},
      {L"%", L"V", L"%"},
      {L"ends in %l", L"V", L"ends in %l"},
      {L"ends in %", L"V", L"ends in %"},
      {L"%s", L"%s%n", L"%s%n"},  // the value is never read again
      {L"%ls%ls", L"", L"%ls"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SubstitutePlaceholder(c.text, c.value), c.expected) << c.text;
  }
}

TEST_F(DiskSpaceCheckTest, GameDriveShortAsksAboutThatDriveOnly) {
  disk_.available_by_root = {{L"D:\\", 3 * kGiB}, {L"C:\\", 100 * kGiB}};

  EXPECT_FALSE(CheckUpdateSpace(Env(), Recorder()));

  EXPECT_EQ(disk_.roots, std::vector<std::wstring>{L"D:\\"});  // C is not queried
  ASSERT_EQ(boxes_.size(), 1u);
  const Box& box = boxes_[0];
  EXPECT_TRUE(box.plain_content);
  EXPECT_EQ(box.title_id, L"STRING_ERROR_NOTICE");
  EXPECT_EQ(box.content,
            L"You do not have  4.00G of available space on disk(s) D. Insufficient space may "
            L"cause the game to not work properly. Continue downloading?");
  EXPECT_EQ(box.first_button_id, L"STRING_CANCEL");
  EXPECT_EQ(box.second_button_id, L"STRING_DOWNLOAD_CONTINUE");
  // The answer is the box's: nothing reaches the caller before the user.
  EXPECT_TRUE(results_.empty());
  ASSERT_TRUE(box.result);
  box.result(1);
  EXPECT_EQ(results_, std::vector<int>{1});
}

TEST_F(DiskSpaceCheckTest, LauncherDriveShortNamesTheLauncherDrive) {
  disk_.available_by_root = {{L"D:\\", 100 * kGiB}, {L"C:\\", 3 * kGiB}};

  EXPECT_FALSE(CheckUpdateSpace(Env(), Recorder()));

  EXPECT_EQ(disk_.roots, (std::vector<std::wstring>{L"D:\\", L"C:\\"}));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_NE(boxes_[0].content.find(L"on disk(s) C."), std::wstring::npos) << boxes_[0].content;
  EXPECT_NE(boxes_[0].content.find(L" 4.00G"), std::wstring::npos);
}

TEST_F(DiskSpaceCheckTest, ThresholdTable) {
  struct Case {
    const wchar_t* game;
    const wchar_t* module;
    uint64_t game_space;
    uint64_t launcher_space;
    bool passed;
    std::vector<std::wstring> roots;
    size_t boxes;
  };
  const std::vector<Case> cases = {
      {L"D:\\G", L"C:\\L\\l.exe", 5 * kGiB, 5 * kGiB, true, {L"D:\\", L"C:\\"}, 0},
      {L"D:\\G", L"C:\\L\\l.exe", 4 * kGiB, 4 * kGiB, true, {L"D:\\", L"C:\\"}, 0},
      {L"D:\\G", L"C:\\L\\l.exe", 4 * kGiB - 1, 100 * kGiB, false, {L"D:\\"}, 1},
      {L"D:\\G", L"C:\\L\\l.exe", 100 * kGiB, 4 * kGiB - 1, false, {L"D:\\", L"C:\\"}, 1},
      {L"D:\\G", L"C:\\L\\l.exe", 0, 0, false, {L"D:\\"}, 1},
      // One drive for both: asked once when short, queried twice when not.
      {L"C:\\G", L"C:\\L\\l.exe", 3 * kGiB, 3 * kGiB, false, {L"C:\\"}, 1},
      {L"C:\\G", L"C:\\L\\l.exe", 5 * kGiB, 5 * kGiB, true, {L"C:\\", L"C:\\"}, 0},
      // Forward slashes and lower-case letters name the same drives.
      {L"d:/G", L"C:/L/l.exe", 5 * kGiB, 5 * kGiB, true, {L"D:\\", L"C:\\"}, 0},
  };
  for (const bool install : {false, true}) {
    for (const Case& c : cases) {
      disk_.roots.clear();
      boxes_.clear();
      disk_.available_by_root = {{L"D:\\", c.game_space}, {L"C:\\", c.launcher_space}};
      if (std::wstring(c.game).rfind(L"C:", 0) == 0) {
        disk_.available_by_root[L"C:\\"] = c.game_space;
      }
      game_folder_ = c.game;
      module_path_ = c.module;
      const bool passed =
          install ? CheckInstallSpace(Env(), Recorder()) : CheckUpdateSpace(Env(), Recorder());
      SCOPED_TRACE(testing::Message() << (install ? "install " : "update ") << c.game << " "
                                      << c.game_space << " " << c.launcher_space);
      EXPECT_EQ(passed, c.passed);
      EXPECT_EQ(disk_.roots, c.roots);
      ASSERT_EQ(boxes_.size(), c.boxes);
      for (const Box& box : boxes_) {
        EXPECT_TRUE(box.plain_content);
        EXPECT_EQ(box.first_button_id, install ? L"" : L"STRING_CANCEL");
        EXPECT_EQ(box.second_button_id, install ? L"STRING_CONFIRM" : L"STRING_DOWNLOAD_CONTINUE");
      }
    }
  }
  EXPECT_TRUE(results_.empty());
}

TEST_F(DiskSpaceCheckTest, InstallTextTakesTheAmountWithoutFormatting) {
  disk_.available_by_root = {{L"D:\\", 1 * kGiB}, {L"C:\\", 100 * kGiB}};
  EXPECT_FALSE(CheckInstallSpace(Env(), Recorder()));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].content, L"Not enough disk space.  4.00G needed.");

  // A broken translation full of conversions shows as it stands.
  boxes_.clear();
  DiskSpaceEnv env = Env();
  env.text_of = [](const std::wstring&) -> std::wstring { return L"%n%n%s%s%d%x%p%ls 100%"; };
  EXPECT_FALSE(CheckInstallSpace(env, Recorder()));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].content, L"%n%n 4.00G%s%d%x%p%ls 100%");
}

TEST_F(DiskSpaceCheckTest, SpaceThatCannotBeFoundIsReportedAndPasses) {
  struct Case {
    const wchar_t* game;
    std::vector<std::wstring> roots;
  };
  const std::vector<Case> cases = {
      {L"\\\\server\\share\\Vexa", {L"C:\\"}},  // network path: no drive to ask
      {L"//server/share/Vexa", {L"C:\\"}},
      {L"\\\\?\\UNC\\server\\share\\Vexa", {L"C:\\"}},
      {L"Q:\\Games\\Vexa", {L"Q:\\", L"C:\\"}},  // a drive that does not exist
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.game);
    disk_.roots.clear();
    boxes_.clear();
    disk_.available_by_root = {{L"C:\\", 100 * kGiB}};
    game_folder_ = c.game;
    EXPECT_TRUE(CheckUpdateSpace(Env(), Recorder()));
    EXPECT_EQ(disk_.roots, c.roots);
    ASSERT_EQ(boxes_.size(), 1u);
    ExpectInvalidSpaceNotice(boxes_[0]);
  }
  // When the launcher drive is short too, its box follows the notice.
  boxes_.clear();
  disk_.available_by_root = {{L"C:\\", 1 * kGiB}};
  game_folder_ = L"\\\\server\\share\\Vexa";
  EXPECT_FALSE(CheckInstallSpace(Env(), Recorder()));
  ASSERT_EQ(boxes_.size(), 2u);
  ExpectInvalidSpaceNotice(boxes_[0]);
  EXPECT_TRUE(boxes_[1].plain_content);
  EXPECT_TRUE(results_.empty());
}

TEST_F(DiskSpaceCheckTest, RelativeGameFolderMeansTheCurrentFolder) {
  const std::wstring& dir = testsupport::TestDir();
  ASSERT_GE(dir.size(), 3u);
  std::wstring root = dir.substr(0, 3);  // such as "C:\"
  for (wchar_t& c : root) c = static_cast<wchar_t>(std::towupper(c));
  disk_.available_by_root = {{root, 100 * kGiB}, {L"C:\\", 100 * kGiB}};
  game_folder_ = L"Games\\Vexa";
  EXPECT_TRUE(CheckUpdateSpace(Env(), Recorder()));
  ASSERT_FALSE(disk_.roots.empty());
  EXPECT_EQ(disk_.roots[0], root);
  EXPECT_TRUE(boxes_.empty());
}

// The real GetDiskFreeSpaceExW: a letter that names no drive cannot be
// asked, and the folder of the test can.
TEST_F(DiskSpaceCheckTest, RealQueryOfMissingAndPresentDrives) {
  SetDiskSpaceSourceForTesting(nullptr);
  const DWORD drives = GetLogicalDrives();
  wchar_t missing = 0;
  for (wchar_t letter = L'Z'; letter >= L'D'; --letter) {
    if ((drives & (1u << (letter - L'A'))) == 0) {
      missing = letter;
      break;
    }
  }
  ASSERT_NE(missing, 0) << "every drive letter is in use";
  const std::wstring path = std::wstring(1, missing) + L":\\Games\\Vexa";
  EXPECT_TRUE(CheckFreeSpace(Env(), path, L"short", L"", L"STRING_CONFIRM", Recorder()));
  ASSERT_EQ(boxes_.size(), 1u);
  ExpectInvalidSpaceNotice(boxes_[0]);

  // The test folder's drive answers; whether it has 4 GiB decides the rest.
  boxes_.clear();
  uint64_t total = 0;
  uint64_t available = 0;
  ASSERT_TRUE(DiskFreeW(testsupport::TestDir(), total, available));
  const bool enough = available >= kRequiredFreeSpace;
  EXPECT_EQ(
      CheckFreeSpace(Env(), testsupport::TestDir(), L"short", L"", L"STRING_CONFIRM", Recorder()),
      enough);
  EXPECT_EQ(boxes_.size(), enough ? 0u : 1u);
}

// The launcher's own wiring: the game folder of the settings, the program's
// own path, and the flag-setting request for the notice.
TEST_F(DiskSpaceCheckTest, LauncherWiring) {
  LauncherManager& manager = LauncherManager::Instance();
  manager.ResetForTesting();
  const std::wstring module = CurrentModulePath();
  ASSERT_FALSE(module.empty());
  std::wstring lower = module;
  for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
  EXPECT_NE(lower.find(L"app_disk_space_test.exe"), std::wstring::npos) << module;
  std::wstring module_root = module.substr(0, 2) + L"\\";
  for (wchar_t& c : module_root) c = static_cast<wchar_t>(std::towupper(c));

  LauncherSettings settings = manager.settings();
  settings.gamePath = L"\\\\server\\share\\Vexa";
  manager.set_settings(settings);
  disk_.available_by_root = {{module_root, 100 * kGiB}};
  const DiskSpaceEnv env = MakeDiskSpaceEnv(nullptr);
  EXPECT_FALSE(manager.msgBoxShown.load());
  EXPECT_TRUE(CheckInstallSpace(env, Recorder()));
  EXPECT_TRUE(manager.msgBoxShown.load());  // the notice went through RequestMessageBox
  EXPECT_EQ(disk_.roots, std::vector<std::wstring>{module_root});
  EXPECT_EQ(env.text_of(L"STRING_CONFIRM"), L"STRING_CONFIRM");

  disk_.roots.clear();
  settings.gamePath = L"D:\\Games\\Vexa";
  manager.set_settings(settings);
  disk_.available_by_root[L"D:\\"] = 1 * kGiB;
  EXPECT_FALSE(CheckUpdateSpace(env, Recorder()));
  EXPECT_EQ(disk_.roots, std::vector<std::wstring>{L"D:\\"});
  EXPECT_TRUE(results_.empty());
  manager.ResetForTesting();
}

}  // namespace
