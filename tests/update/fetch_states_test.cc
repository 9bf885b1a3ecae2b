// The fetch and apply states end to end on the real worker thread against
// the local content server: a game update from the fixture's old version to
// the new one with whole files, with ".patch" and ".qvdiff" patches through
// both appliers, with pre-downloaded files taken over and with a renamed
// file patched from its alias; a patch whose result is wrong, failing the
// apply and fetched whole by the retry; the launcher's own update with its
// pending lists; and the take-over of pre-downloaded files case by case.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/file_util.h"
#include "download/chunk_file.h"
#include "download/download_manager.h"
#include "state_harness.h"
#include "test_process.h"
#include "update/apply_test_util.h"
#include "update/apply_update_state.h"
#include "update/download_files_state.h"
#include "update/fixture_files.h"
#include "update/game_repair.h"
#include "update/pending_file_list.h"
#include "update/version_map.h"

namespace {

using applytest::Exists;
using applytest::GetFile;
using applytest::Md5Of;
using applytest::NotRunning;
using applytest::PutFile;
using statetest::StateHarness;
using statetest::StateStep;
using testsupport::FileExists;
using testsupport::ReadWholeFile;

constexpr int L = kLauncherMode;
constexpr int G = kGameMode;

bool Rested(const std::vector<StateStep>& trail) {
  return !trail.empty() &&
         (trail.back().type == kStateEnterGame || trail.back().type == kStateException);
}

bool Contains(const std::vector<StateStep>& trail, StateStep step) {
  for (const StateStep& s : trail) {
    if (s == step) return true;
  }
  return false;
}

std::wstring CdnRoot() {
  std::wstring cdn = StateHarness::CdnFile("x");
  cdn.resize(cdn.size() - 2);
  return cdn;
}

size_t RequestCount(const std::string& path) {
  return StateHarness::server().RequestsFor(path).size();
}

class FetchStatesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(StateHarness::StartSuite()); }
  static void TearDownTestSuite() { StateHarness::StopSuite(); }

  void SetUp() override {
    ApplyUpdateState::SetSliceMsForTesting(1000);
    ClearFetchWholeMarks();
    SetGameRunningTest(NotRunning);
  }
  void TearDown() override {
    harness_.Stop();
    ClearFetchWholeMarks();
    SetGameRunningTest(nullptr);
  }

  // The content host serves the fixture's update tree `content`.
  static void ServeContent(const char* content) {
    StateHarness::ClearCdn();
    ASSERT_TRUE(applytest::CopyTree(fixtures::Path(content), CdnRoot()));
    StateHarness::PutQuietLauncherMaps();
  }

  // The fixture's old version (3_0_4) installed with its map, in a fresh
  // game folder; .\update starts empty.
  void InstallOldGame(const std::wstring& name) {
    harness_.set_game_folder(testsupport::TestDir() + name);
    RemoveTreeW(L".\\update");
    const std::wstring game = harness_.game_folder();
    ASSERT_TRUE(applytest::CopyTree(fixtures::Path("sample/old"), game));
    std::string error;
    ASSERT_TRUE(WriteVersionMapFile(game + L"\\version_map.txt",
                                    applytest::MapOfTree(fixtures::Path("sample/old")), "3_0_4",
                                    error));
  }

  // Starts the threads, lets the launcher check rest, then runs a game
  // check until it rests again.
  void StartAndCheckGame() {
    harness_.Start();
    ASSERT_TRUE(harness_.WaitFor(kStateEnterGame));
    StateHarness::server().ClearRequests();
    GameCheck();
  }

  void GameCheck() {
    StateHarness::ClearTrail();
    LauncherManager::Instance().RestartGameCheck(0, false);
    ASSERT_TRUE(testsupport::WaitUntil([] { return Rested(StateHarness::Trail()); }, 120000));
    harness_.Settle();
  }

  void ExpectNewVersionInstalled() {
    const std::wstring game = harness_.game_folder();
    EXPECT_EQ(applytest::DifferingFiles(fixtures::Path("sample/new"), game),
              std::vector<std::string>{});
    EXPECT_EQ(GetFile(game, "version_map.txt"), GetFile(CdnRoot(), "version_map.txt"));
    EXPECT_FALSE(Exists(game, "tmp_version_map.txt"));
    EXPECT_FALSE(FileExists(kApplyListPath));
    EXPECT_EQ(LauncherManager::Instance().local_game_version(), "3_0_5");
  }

  StateHarness harness_;
};

TEST_F(FetchStatesTest, AGameUpdateEndsWithTheNewVersionByEveryRoute) {
  struct Case {
    const char* name;
    const char* content;
    int patch_option;
    bool pre_download;
    bool renamed;
    const char* fetched;      // a request that must have been made
    const char* not_fetched;  // and one that must not
  } cases[] = {
      {"whole files", "content", 0, false, false, "/cdn/VEXA.exe",
       "/cdn/patchs/3_0_4/patch_list.txt"},
      {".patch streamed", "content", 2, false, false, "/cdn/patchs/3_0_4/VEXA.exe.patch",
       "/cdn/VEXA.exe"},
      {".qvdiff in memory", "content_qvdiff", 1, false, false,
       "/cdn/patchs/3_0_4/data/a.pak.qvdiff", "/cdn/data/a.pak"},
      {"pre-downloaded", "content", 0, true, false, "/cdn/data/b.txt", "/cdn/VEXA.exe"},
      {"renamed", "content", 2, false, true, "/cdn/patchs/3_0_4/data/a.pak.patch",
       "/cdn/data/a.pak"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServeContent(c.content);
    InstallOldGame(applytest::Wide(std::string("game ") + c.name));
    const std::wstring game = harness_.game_folder();
    ASSERT_TRUE(StateHarness::ServeGate(
        StateHarness::BothAnswers(",\"PatchOption\":" + std::to_string(c.patch_option))));
    if (c.pre_download) {
      // Every new file fetched ahead, one of them damaged on the way.
      const std::wstring pre = L".\\update\\predownload\\3_0_5";
      for (const auto& e : applytest::MapOfTree(fixtures::Path("sample/new"))) {
        std::string bytes = GetFile(fixtures::Path("sample/new"), e.first);
        if (e.first == "data/b.txt") bytes[0] ^= 1;
        ASSERT_TRUE(PutFile(pre, e.second.md5, bytes));
      }
    }
    if (c.renamed) {
      // The published file is damaged; its alias keeps the installed bytes,
      // and the patch is applied to the alias.
      const std::string old_bytes = GetFile(game, "data/a.pak");
      ASSERT_TRUE(PutFile(game, "data/a alias.pak", old_bytes));
      ASSERT_TRUE(PutFile(game, "data/a.pak", "damaged"));
    }
    harness_.Start([&](LauncherManager::Hooks&) {
      if (c.renamed) {
        LauncherManager::Instance().SetRenamedFilesForTesting(
            {{L"data/a.pak", L"data/a alias.pak"}});
      }
    });
    ASSERT_TRUE(harness_.WaitFor(kStateEnterGame));
    StateHarness::server().ClearRequests();
    GameCheck();
    const std::vector<StateStep> trail = StateHarness::Trail();
    EXPECT_TRUE(Contains(trail, {kStateDownloadFiles, G}));
    EXPECT_TRUE(Contains(trail, {kStateApplyUpdate, G}));
    EXPECT_EQ(trail.back(), (StateStep{kStateEnterGame, G}));
    EXPECT_EQ(Contains(trail, {kStateRequestPatch, G}), c.patch_option > 0);
    ExpectNewVersionInstalled();
    // The apply's progress runs from 0 to 100 after the check's 95 and 100.
    std::vector<LPARAM> progress;
    for (const statetest::Message& m : StateHarness::Messages(kMsgCheckProgress)) {
      progress.push_back(m.lparam);
    }
    ASSERT_GE(progress.size(), 4u);
    EXPECT_EQ(progress[2], 0);
    EXPECT_EQ(progress.back(), 100);
    EXPECT_TRUE(std::is_sorted(progress.begin() + 2, progress.end()));
    EXPECT_GE(RequestCount(c.fetched), 1u) << c.fetched;
    EXPECT_EQ(RequestCount(c.not_fetched), 0u) << c.not_fetched;
    if (c.renamed) {
      EXPECT_EQ(GetFile(game, "data/a alias.pak"), GetFile(game, "data/a.pak"));
    }
    if (c.pre_download) {
      EXPECT_EQ(RequestCount("/cdn/data/a.pak"), 0u);
    }
    harness_.Stop();
  }
}

TEST_F(FetchStatesTest, APatchWithAWrongResultFailsTheApplyAndTheRetryFetchesTheFileWhole) {
  ServeContent("content");
  InstallOldGame(L"game");
  // The patch of data/b.txt is replaced by one made for other files: it
  // applies, but not to the published bytes.
  const std::string wrong = fixtures::Read("patches/text.patch");
  const std::wstring cdn = CdnRoot();
  ASSERT_TRUE(PutFile(cdn, "patchs/3_0_4/data/b.txt.patch", wrong));
  VersionMap list;
  std::string error;
  ASSERT_TRUE(LoadVersionMapFile(cdn + L"\\patchs\\3_0_4\\patch_list.txt", list, error));
  list["data/b.txt"] = VersionEntry{Md5Of(wrong), static_cast<int32_t>(wrong.size())};
  list.erase(kMapVersionEntry);
  ASSERT_TRUE(WriteVersionMapFile(cdn + L"\\patchs\\3_0_4\\patch_list.txt", list, "3_0_5", error));
  ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers(",\"PatchOption\":2")));

  StartAndCheckGame();
  ASSERT_EQ(StateHarness::Trail().back(), (StateStep{kStateException, G}));
  const std::vector<statetest::Box> boxes = StateHarness::Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  const std::wstring detail = boxes[0].spec.detail.value;
  EXPECT_NE(detail.find(L"Apply Failed"), std::wstring::npos);
  EXPECT_NE(detail.find(L" data/b.txt("), std::wstring::npos) << applytest::Utf8(detail);
  EXPECT_EQ(GetFile(harness_.game_folder(), "data/b.txt"),
            GetFile(fixtures::Path("sample/old"), "data/b.txt"));
  EXPECT_TRUE(Exists(harness_.game_folder(), "tmp_version_map.txt"));
  EXPECT_EQ(RequestCount("/cdn/data/b.txt"), 0u);

  // Retry: the whole file this time, and only what is not in place yet.
  StateHarness::server().ClearRequests();
  StateHarness::ClearTrail();
  ASSERT_TRUE(harness_.AnswerBox(0, 1));
  ASSERT_TRUE(testsupport::WaitUntil(
      [] {
        const std::vector<StateStep> t = StateHarness::Trail();
        return Contains(t, {kStateApplyUpdate, G}) && Rested(t);
      },
      120000));
  harness_.Settle();
  EXPECT_EQ(StateHarness::Trail().back().type, kStateEnterGame);
  EXPECT_EQ(RequestCount("/cdn/data/b.txt"), 1u);
  EXPECT_EQ(RequestCount("/cdn/patchs/3_0_4/data/b.txt.patch"), 0u);
  EXPECT_EQ(RequestCount("/cdn/patchs/3_0_4/VEXA.exe.patch"), 1u);  // the suffix probe only
  ExpectNewVersionInstalled();
}

TEST_F(FetchStatesTest, TheLauncherUpdateLeavesItsProgramRuntimeAndFontsPending) {
  StateHarness::ClearCdn();
  const std::vector<std::pair<std::string, std::string>> files = {
      {"launcher.exe", "new launcher"},
      {"cef/libcef.dll", "runtime"},
      {"SourceHanSansCNBold.ttf", "font"},
      {"resources.zip", "package"},
      {"docs/notes.txt", "notes"}};
  Json::Value map(Json::objectValue);
  map["version"] = "2.0.0";
  for (const auto& f : files) {
    ASSERT_TRUE(StateHarness::PutCdnFile(f.first, f.second));
    map["list"][f.first]["md5"] = Md5Of(f.second);
    map["list"][f.first]["size"] = static_cast<int>(f.second.size());
  }
  ASSERT_TRUE(testsupport::WriteWholeFile(L".\\launcher_version_map.txt",
                                          "{\"list\":null,\"version\":\"1.0.0\"}"));
  ASSERT_TRUE(StateHarness::PutCdnFile("launcher_version_map.txt", dltest::Compact(map)));
  ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers(",\"PatchOption\":2")));

  harness_.Start();
  ASSERT_TRUE(testsupport::WaitUntil(
      [] {
        const std::vector<StateStep> t = StateHarness::Trail();
        return !t.empty() && t.back().type == kStateEnterGame;
      },
      120000));
  harness_.Settle();
  EXPECT_EQ(StateHarness::Trail(), (std::vector<StateStep>{{kStatePrepare, L},
                                                           {kStateRequestRemote, L},
                                                           {kStateCheckVersion, L},
                                                           {kStateRequestPatch, L},
                                                           {kStateDownloadFiles, L},
                                                           {kStateApplyUpdate, L},
                                                           {kStateEnterGame, G}}));
  const std::vector<std::string> events = StateHarness::Events();
  EXPECT_NE(std::find(events.begin(), events.end(), "reload ui"), events.end());
  EXPECT_EQ(ReadWholeFile(L".\\resources.zip"), "package");
  EXPECT_EQ(ReadWholeFile(L".\\docs\\notes.txt"), "notes");
  EXPECT_EQ(ReadWholeFile(L".\\update\\launcher.exe"), "new launcher");
  EXPECT_EQ(ReadWholeFile(L".\\update\\cef\\libcef.dll"), "runtime");
  EXPECT_EQ(ReadWholeFile(L".\\update\\SourceHanSansCNBold.ttf"), "font");
  std::vector<std::string> cef, fonts;
  ASSERT_TRUE(ReadStringListFile(L".\\update\\cef_update.txt", cef));
  ASSERT_TRUE(ReadStringListFile(L".\\update\\font_update.txt", fonts));
  EXPECT_EQ(cef, (std::vector<std::string>{"cef/libcef.dll"}));
  EXPECT_EQ(fonts, (std::vector<std::string>{"SourceHanSansCNBold.ttf"}));
  LauncherManager& m = LauncherManager::Instance();
  EXPECT_TRUE(m.launcherUpdatePending);
  EXPECT_TRUE(m.cefUpdatePending);
  EXPECT_TRUE(m.fontUpdatePending);
  EXPECT_EQ(m.launcher_version(), "2.0.0");
  EXPECT_FALSE(FileExists(L".\\tmp_launcher_version_map.txt"));
}

TEST_F(FetchStatesTest, AGameMapListingTheLauncherProgramNeverFetchesIt) {
  StateHarness::ClearCdn();
  Json::Value map(Json::objectValue);
  map["version"] = "3_0_5";
  for (const char* name : {"VEXA.exe", "launcher.exe"}) {
    ASSERT_TRUE(StateHarness::PutCdnFile(name, std::string("bytes of ") + name));
    map["list"][name]["md5"] = Md5Of(std::string("bytes of ") + name);
    map["list"][name]["size"] = static_cast<int>(std::string("bytes of ").size() + strlen(name));
  }
  ASSERT_TRUE(StateHarness::PutCdnFile("version_map.txt", dltest::Compact(map)));
  StateHarness::PutQuietLauncherMaps();
  ASSERT_TRUE(StateHarness::ServeGate(StateHarness::BothAnswers(",\"PatchOption\":0")));
  ASSERT_TRUE(PutFile(L".\\update", "launcher.exe", "a launcher update waiting"));
  StartAndCheckGame();
  EXPECT_EQ(StateHarness::Trail().back(), (StateStep{kStateEnterGame, G}));
  EXPECT_EQ(GetFile(harness_.game_folder(), "VEXA.exe"), "bytes of VEXA.exe");
  EXPECT_FALSE(Exists(harness_.game_folder(), "launcher.exe"));
  EXPECT_EQ(RequestCount("/cdn/launcher.exe"), 0u);
  EXPECT_EQ(ReadWholeFile(L".\\update\\launcher.exe"), "a launcher update waiting");
}

// -------------------------------------------------- pre-downloaded files

TEST(TakePreDownloadedFileTest, TakesOnlyWhatMatchesAndResumesWhatIsUnfinished) {
  const std::string content = "the published bytes";
  const std::string md5 = Md5Of(content);
  const std::wstring pre = L".\\pre";
  const std::wstring upd = L".\\upd";
  struct Case {
    const char* name;
    const char* src;      // nullptr: none
    bool src_cfg;         // src is unfinished
    const char* dst;      // nullptr: none
    const char* dst_cfg;  // md5 in dst's resume file; nullptr: none
    bool taken;
    const char* dst_after;
    bool src_left;
  } cases[] = {
      {"finished, nothing there", "the published bytes", false, nullptr, nullptr, true,
       "the published bytes", false},
      {"finished but damaged", "the published bytez", false, nullptr, nullptr, false, nullptr,
       true},
      {"no pre-downloaded file", nullptr, false, nullptr, nullptr, false, nullptr, false},
      {"unfinished, nothing there", "the publ", true, nullptr, nullptr, false, "the publ", false},
      {"finished over an unfinished download of it", "the published bytes", false, "the p", "same",
       true, "the published bytes", false},
      {"unfinished over an unfinished download of it", "the publ", true, "the p", "same", false,
       "the p", true},
      {"finished over an unfinished other download", "the published bytes", false, "other", "other",
       true, "the published bytes", false},
      {"finished, a complete file there", "the published bytes", false, "complete", nullptr, false,
       "complete", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveTreeW(pre);
    RemoveTreeW(upd);
    MakeDirsW(pre);
    MakeDirsW(upd);
    const std::wstring src = pre + L"\\" + applytest::Wide(md5);
    const std::wstring dst = upd + L"\\data\\f.bin";
    if (c.src) {
      ASSERT_TRUE(testsupport::WriteWholeFile(src, c.src));
    }
    if (c.src_cfg) WriteResumeFile(applytest::Utf8(src), md5, {}, true);
    if (c.dst) {
      ASSERT_TRUE(PutFile(upd, "data/f.bin", c.dst));
    }
    if (c.dst_cfg) {
      const std::string cfg_md5 = std::string(c.dst_cfg) == "same" ? md5 : Md5Of("x");
      WriteResumeFile(applytest::Utf8(dst), cfg_md5, {}, true);
    }
    EXPECT_EQ(TakePreDownloadedFile(pre, upd, "data/f.bin", md5), c.taken);
    if (c.dst_after) {
      EXPECT_EQ(ReadWholeFile(dst), c.dst_after);
    } else {
      EXPECT_FALSE(FileExists(dst));
    }
    EXPECT_EQ(FileExists(src), c.src_left);
    if (c.src_cfg && !c.src_left) {
      EXPECT_TRUE(FileExists(dst + L".cfg"));
    }
  }
  // Nothing leaves the folders.
  EXPECT_FALSE(TakePreDownloadedFile(pre, upd, "../f.bin", md5));
  EXPECT_FALSE(TakePreDownloadedFile(pre, upd, "f.bin", "../../x"));
}

TEST(TakePreDownloadedFileTest, OneStoredContentServesEveryPathThatListsIt) {
  const std::string content = "twin bytes";
  const std::string md5 = Md5Of(content);
  const std::wstring pre = L".\\pre";
  const std::wstring upd = L".\\upd";
  MakeDirsW(pre);
  MakeDirsW(upd);
  const std::wstring src = pre + L"\\" + applytest::Wide(md5);
  ASSERT_TRUE(testsupport::WriteWholeFile(src, content));
  // Another path still wants it: copied, and the stored file stays.
  EXPECT_TRUE(TakePreDownloadedFile(pre, upd, "data/twin_a.bin", md5, true));
  EXPECT_TRUE(FileExists(src));
  // The last path takes the stored file itself.
  EXPECT_TRUE(TakePreDownloadedFile(pre, upd, "data/twins/twin_b.bin", md5, false));
  EXPECT_FALSE(FileExists(src));
  EXPECT_EQ(ReadWholeFile(upd + L"\\data\\twin_a.bin"), content);
  EXPECT_EQ(ReadWholeFile(upd + L"\\data\\twins\\twin_b.bin"), content);
  // An unfinished content another path wants is left to the last one.
  ASSERT_TRUE(testsupport::WriteWholeFile(src, "twin"));
  WriteResumeFile(applytest::Utf8(src), md5, {}, true);
  EXPECT_FALSE(TakePreDownloadedFile(pre, upd, "data/other.bin", md5, true));
  EXPECT_TRUE(FileExists(src));
  EXPECT_FALSE(FileExists(upd + L"\\data\\other.bin"));
}

}  // namespace
