#include "app/system_util.h"

#include <windows.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/path_helpers.h"
#include "test_dir.h"

namespace {

using testsupport::TestDir;

// ---------------------------------------------------------------------------
// Fakes and small helpers.

class FakeShellOpener : public ShellOpener {
 public:
  struct Call {
    HWND owner;
    std::wstring url;
  };
  bool Open(HWND owner, const std::wstring& url) override {
    calls.push_back({owner, url});
    return result;
  }
  std::vector<Call> calls;
  bool result = true;
};

class FakeDiskSpace : public DiskSpaceSource {
 public:
  bool Query(const std::wstring& root, uint64_t& total, uint64_t& available) override {
    roots.push_back(root);
    if (!result) return false;
    total = total_bytes;
    available = available_bytes;
    return true;
  }
  std::vector<std::wstring> roots;
  bool result = true;
  uint64_t total_bytes = 500ull << 30;
  uint64_t available_bytes = 123456789012ull;
};

class FakeClock : public UtcClock {
 public:
  SYSTEMTIME Now() override { return now; }
  SYSTEMTIME now = {};
};

// Installs a seam for one test and puts the previous one back.
template <typename Seam, Seam* (*Setter)(Seam*)>
class ScopedSeam {
 public:
  explicit ScopedSeam(Seam* seam) : previous_(Setter(seam)) {}
  ~ScopedSeam() { Setter(previous_); }
  ScopedSeam(const ScopedSeam&) = delete;
  ScopedSeam& operator=(const ScopedSeam&) = delete;

 private:
  Seam* previous_;
};
using ScopedShell = ScopedSeam<ShellOpener, SetShellOpenerForTesting>;
using ScopedDisk = ScopedSeam<DiskSpaceSource, SetDiskSpaceSourceForTesting>;
using ScopedClock = ScopedSeam<UtcClock, SetUtcClockForTesting>;

class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE release() {
    HANDLE h = handle_;
    handle_ = nullptr;
    return h;
  }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  DWORD written = 0;
  return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool ReadBytes(const std::wstring& path, std::string& out) {
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  out.clear();
  char block[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), block, sizeof(block), &got, nullptr) && got > 0) {
    out.append(block, got);
  }
  return true;
}

// A Windows program runs on its own; waits (for real) until it has finished
// writing the file we asked it for.
bool WaitForFileContaining(const std::wstring& path, const std::string& needle, DWORD timeout_ms) {
  DWORD start = GetTickCount();
  for (;;) {
    std::string text;
    if (ReadBytes(path, text) && text.find(needle) != std::string::npos) return true;
    if (GetTickCount() - start > timeout_ms) return false;
    Sleep(50);
  }
}

// Deletes a program file once the process running it has let go of it.
void DeleteWhenFree(const std::wstring& path) {
  DWORD start = GetTickCount();
  while (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
         GetTickCount() - start < 20000) {
    Sleep(50);
  }
}

// ---------------------------------------------------------------------------
// Links.

TEST(OpenUrlTest, OnlyWebAddressesReachTheShell) {
  struct Case {
    std::string url;
    bool opened;
    std::wstring sent;
  };
  const std::vector<Case> cases = {
      {"http://example.com/", true, L"http://example.com/"},
      {"https://example.com/a?b=c&d=e#f", true, L"https://example.com/a?b=c&d=e#f"},
      {"HTTPS://EXAMPLE.COM", true, L"HTTPS://EXAMPLE.COM"},
      {"hTtP://x", true, L"hTtP://x"},
      // Blanks and quotes cannot split the browser's command line.
      {"https://x/a b\"--flag", true, L"https://x/a%20b%22--flag"},
      {"https://\xE4\xBE\x8B.jp/\xE3\x83\x91", true, L"https://\u4F8B.jp/\u30D1"},
      {"", false, L""},
      {"http://", false, L""},
      {"https://", false, L""},
      {"http:/x", false, L""},
      {"httpx://x", false, L""},
      {"ftp://example.com/", false, L""},
      {"file:///C:/Windows/notepad.exe", false, L""},
      {"FILE://server/share/x.exe", false, L""},
      {"javascript:alert(1)", false, L""},
      {"C:\\Windows\\System32\\cmd.exe", false, L""},
      {"cmd.exe", false, L""},
      {"\\\\server\\share\\setup.exe", false, L""},
      {"//server/share", false, L""},
      {" http://example.com", false, L""},
      {"mailto:a@example.com", false, L""},
      {"http://a\nb", false, L""},
      {"http://a\tb", false, L""},
      {std::string("http://a\0b", 10), false, L""},
      {"http://a\x7F", false, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    FakeShellOpener shell;
    ScopedShell seam(&shell);
    HWND owner = reinterpret_cast<HWND>(static_cast<INT_PTR>(0x1234));
    EXPECT_EQ(c.opened, OpenUrl(owner, c.url));
    EXPECT_EQ(c.opened, IsWebUrl(c.url));
    if (c.opened) {
      ASSERT_EQ(1u, shell.calls.size());
      EXPECT_EQ(c.sent, shell.calls[0].url);
      EXPECT_EQ(owner, shell.calls[0].owner);
    } else {
      EXPECT_TRUE(shell.calls.empty());
    }
  }
}

TEST(OpenUrlTest, ReportsTheShellsRefusal) {
  FakeShellOpener shell;
  shell.result = false;
  ScopedShell seam(&shell);
  EXPECT_FALSE(OpenUrl(nullptr, "https://example.com/"));
  EXPECT_EQ(1u, shell.calls.size());
}

// ---------------------------------------------------------------------------
// JSON.

Json::Value MustParse(const std::string& text) {
  Json::Value value;
  std::string error;
  EXPECT_TRUE(ParseJson(text, value, error)) << text << ": " << error;
  return value;
}

TEST(JsonTest, ParseJsonAcceptsValidTextWithTheDefaultSettings) {
  Json::Value value = MustParse("{\"a\": 1, \"b\": [true, \"x\"]}");
  EXPECT_EQ(1, value["a"].asInt());
  EXPECT_EQ("x", value["b"][1].asString());
  // Comments, a trailing comma, a byte-order mark, a later duplicate winning.
  value = MustParse("\xEF\xBB\xBF// note\n{\"a\": 1, \"a\": 2, /* c */ \"b\": [1,],}");
  EXPECT_EQ(2, value["a"].asInt());
  // A scalar document is still JSON; callers check the type.
  EXPECT_TRUE(MustParse("42").isInt());
}

TEST(JsonTest, ParseJsonFailsCleanlyOnBadText) {
  const std::vector<std::string> bad = {
      "",
      "{",
      "{\"a\": }",
      "{\"a\" 1}",
      "[1, 2",
      "\"unterminated",
      "nul",
      std::string("\x00\x01\x02\xFF\xFE\x80", 6),
      std::string("\0{}", 3),
      std::string(3000, '['),  // deeper than the reader's limit: it throws inside
      std::string(3000, '{'),
      "{\"a\": 1e99999}",
  };
  for (const std::string& text : bad) {
    SCOPED_TRACE(text.substr(0, 20));
    Json::Value out("kept");
    std::string error = "stale";
    EXPECT_FALSE(ParseJson(text, out, error));
    EXPECT_FALSE(error.empty());
    EXPECT_NE("stale", error);
    EXPECT_EQ("kept", out.asString());
  }
}

TEST(JsonTest, ParseJsonClearsTheErrorOnSuccess) {
  Json::Value out;
  std::string error = "stale";
  EXPECT_TRUE(ParseJson("{}", out, error));
  EXPECT_TRUE(error.empty());
  EXPECT_TRUE(out.isObject());
}

TEST(JsonTest, FindJsonMemberSearchesArraysInNameOrder) {
  struct Case {
    std::string json;
    std::string key;
    bool found;
    std::string value;  // the found value, written compactly
  };
  const std::vector<Case> cases = {
      {"{\"k\": 2}", "k", true, "2"},
      // The array member "a" sorts before "k", so its nested match wins.
      {"{\"a\": [{\"k\": 1}], \"k\": 2}", "k", true, "1"},
      // "z" sorts after "k": the direct member wins.
      {"{\"z\": [{\"k\": 1}], \"k\": 2}", "k", true, "2"},
      {"{\"k\": null}", "k", false, ""},
      {"{\"a\": [{\"k\": null}], \"k\": 3}", "k", true, "3"},
      // Nested objects are not searched, only objects inside arrays.
      {"{\"o\": {\"k\": 1}}", "k", false, ""},
      {"{\"a\": [[{\"k\": 1}], 5, \"k\", {\"x\": [{\"k\": \"deep\"}]}]}", "k", true, "\"deep\""},
      {"{\"a\": [1, 2, 3]}", "k", false, ""},
      {"{\"k\": {\"x\": 1}}", "k", true, "{\"x\":1}"},
      {"{\"k\": false}", "k", true, "false"},
      {"[{\"k\": 1}]", "k", false, ""},
      {"\"k\"", "k", false, ""},
      {"7", "k", false, ""},
      {"{}", "", false, ""},
      {"{\"\": 4}", "", true, "4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    Json::Value object = MustParse(c.json);
    Json::Value out("untouched");
    ASSERT_EQ(c.found, FindJsonMember(object, c.key, out));
    if (c.found) {
      Json::StreamWriterBuilder writer;
      writer["indentation"] = "";
      EXPECT_EQ(c.value, Json::writeString(writer, out));
    } else {
      EXPECT_EQ("untouched", out.asString());
    }
  }
  Json::Value out;
  EXPECT_FALSE(FindJsonMember(Json::Value(), "k", out));
}

TEST(JsonTest, ReadJsonStringListTakesTextsOrFailsWhole) {
  struct Case {
    std::string json;
    bool ok;
    std::vector<std::string> list;
  };
  const std::vector<Case> cases = {
      {"{\"DlcAddr\": \"x\"}", true, {"x"}},
      {"{\"DlcAddr\": [\"a\", \"b\", \"c\"]}", true, {"a", "b", "c"}},
      {"{\"DlcAddr\": [\"a\", 7, true, null]}", true, {"a", "7", "true", ""}},
      {"{\"DlcAddr\": 12}", true, {"12"}},
      {"{\"DlcAddr\": []}", false, {}},
      {"{\"DlcAddr\": [\"a\", {\"b\": 1}]}", false, {}},
      {"{\"DlcAddr\": [\"a\", [\"b\"]]}", false, {}},
      {"{\"DlcAddr\": {\"a\": \"b\"}}", false, {}},
      {"{\"DlcAddr\": null}", false, {}},
      {"{\"Other\": \"x\"}", false, {}},
      {"{\"list\": [{\"DlcAddr\": [\"n1\", \"n2\"]}]}", true, {"n1", "n2"}},
      {"[\"x\"]", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    std::vector<std::string> out = {"stale"};
    EXPECT_EQ(c.ok, ReadJsonStringList(MustParse(c.json), "DlcAddr", out));
    EXPECT_EQ(c.list, out);
  }
}

TEST(JsonTest, WriteJsonFileWritesTabIndentedSortedJson) {
  Json::Value value;
  value["zeta"] = 1;
  value["alpha"]["inner"] = "text";
  ASSERT_TRUE(WriteJsonFile("out.json", value));
  std::string text;
  ASSERT_TRUE(ReadBytes(TestDir() + L"out.json", text));
  EXPECT_EQ("{\n\t\"alpha\" : \n\t{\n\t\t\"inner\" : \"text\"\n\t},\n\t\"zeta\" : 1\n}", text);
  Json::Value back = MustParse(text);
  EXPECT_EQ(value, back);

  // Truncates a longer earlier file.
  ASSERT_TRUE(WriteJsonFile("out.json", Json::Value(5)));
  ASSERT_TRUE(ReadBytes(TestDir() + L"out.json", text));
  EXPECT_EQ("5", text);

  EXPECT_FALSE(WriteJsonFile("missing\\folder\\out.json", value));
  EXPECT_FALSE(WriteJsonFile("", value));
}

// ---------------------------------------------------------------------------
// Processes.

TEST(LaunchProcessTest, BuildsCommandLines) {
  struct Case {
    std::wstring program;
    std::wstring arguments;
    bool ok;
    std::wstring line;
  };
  const std::wstring long_args(40000, L'x');
  const std::vector<Case> cases = {
      {L"C:\\game\\VEXA.exe", L"", true, L"C:\\game\\VEXA.exe"},
      {L"C:\\game\\VEXA.exe", L"abc win 0|1", true, L"C:\\game\\VEXA.exe abc win 0|1"},
      {L"C:\\Program Files\\g\\VEXA.exe", L"", true, L"\"C:\\Program Files\\g\\VEXA.exe\""},
      {L"C:\\Program Files\\g\\VEXA.exe", L"a b", true, L"\"C:\\Program Files\\g\\VEXA.exe\" a b"},
      {L"C:\\tab\there\\x.exe", L"", true, L"\"C:\\tab\there\\x.exe\""},
      {L"\"C:\\Program Files\\x.exe\"", L"a", true, L"\"C:\\Program Files\\x.exe\" a"},
      {L"C:\\x.exe", long_args, true, L"C:\\x.exe " + long_args},
      {L"", L"a", false, L""},
      {L"\"", L"", false, L""},
      {L"\"\"", L"", false, L""},
      {L"C:\\a\"b.exe", L"", false, L""},
      {L"\"C:\\a.exe", L"", false, L""},
      {L"\"C:\\a\" b\".exe\"", L"", false, L""},
      {std::wstring(L"C:\\a\0b.exe", 10), L"", false, L""},
      {L"C:\\a.exe", std::wstring(L"x\0y", 3), false, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.program.begin(), c.program.end()));
    std::wstring line = L"untouched";
    EXPECT_EQ(c.ok, BuildCommandLine(c.program, c.arguments, line));
    EXPECT_EQ(c.ok ? c.line : L"untouched", line);
  }
}

TEST(LaunchProcessTest, ReportsWhetherTheProcessStarted) {
  EXPECT_FALSE(LaunchProcess(L"", L"", L""));
  EXPECT_FALSE(LaunchProcess(TestDir() + L"no such program.exe", L"", L""));
  EXPECT_FALSE(LaunchProcess(L"cmd.exe", L"/c exit 0", TestDir() + L"no such folder"));
  EXPECT_TRUE(LaunchProcess(L"cmd.exe", L"/c exit 0", L""));
}

TEST(LaunchProcessTest, RunsInTheGivenFolder) {
  ASSERT_TRUE(CreateDirectoryW((TestDir() + L"work").c_str(), nullptr));
  ASSERT_TRUE(LaunchProcess(L"cmd.exe", L"/c echo ran> marker.txt", TestDir() + L"work"));
  EXPECT_TRUE(WaitForFileContaining(TestDir() + L"work\\marker.txt", "ran", 60000));
}

TEST(LaunchProcessTest, StartsAProgramWhosePathHasBlanks) {
  const std::wstring self = PathHelpers::ModuleFileName(nullptr);
  ASSERT_FALSE(self.empty());
  const std::wstring folder = TestDir() + L"dir with blanks";
  const std::wstring copy = folder + L"\\copy.exe";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(self.c_str(), copy.c_str(), FALSE));
  // Left unquoted, the system would try "<dir>\dir" (+ ".exe") first and fail
  // on this file that is no program.
  ASSERT_TRUE(WriteBytes(TestDir() + L"dir.exe", "not a program"));
  {
    // What an unquoted line does here: the system picks the decoy and fails.
    std::wstring unquoted = copy + L" --gtest_list_tests";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    BOOL started = CreateProcessW(nullptr, &unquoted[0], nullptr, nullptr, FALSE, 0, nullptr,
                                  nullptr, &startup, &info);
    if (started) {
      CloseHandle(info.hThread);
      CloseHandle(info.hProcess);
    }
    EXPECT_FALSE(started);
  }

  const std::wstring xml = TestDir() + L"listed.xml";
  ASSERT_TRUE(LaunchProcess(copy, L"--gtest_list_tests \"--gtest_output=xml:" + xml + L"\"", L""));
  EXPECT_TRUE(WaitForFileContaining(xml, "</testsuites>", 60000));
  DeleteWhenFree(copy);
}

TEST(LaunchProcessTest, PassesCommandLinesLongerThanAPath) {
  const std::wstring self = PathHelpers::ModuleFileName(nullptr);
  ASSERT_FALSE(self.empty());
  const std::wstring copy = TestDir() + L"copy.exe";
  ASSERT_TRUE(CopyFileW(self.c_str(), copy.c_str(), FALSE));
  // The output option comes last, after 5000 characters that the program
  // ignores: a line cut anywhere short of its end would lose it.
  const std::wstring xml = TestDir() + L"long.xml";
  const std::wstring arguments =
      L"--gtest_list_tests " + std::wstring(5000, L'p') + L" \"--gtest_output=xml:" + xml + L"\"";
  ASSERT_TRUE(LaunchProcess(copy, arguments, L""));
  EXPECT_TRUE(WaitForFileContaining(xml, "</testsuites>", 60000));
  DeleteWhenFree(copy);
}

// ---------------------------------------------------------------------------
// Texts.

TEST(SplitTest, KeepsInnerEmptyPiecesButNotATrailingOne) {
  struct Case {
    std::string text;
    std::string delimiter;
    std::vector<std::string> pieces;
  };
  const std::vector<Case> cases = {
      {"a_b_c", "_", {"a", "b", "c"}},
      {"a__b", "_", {"a", "", "b"}},
      {"a_b_", "_", {"a", "b"}},
      {"a__", "_", {"a", ""}},
      {"_a", "_", {"", "a"}},
      {"_", "_", {""}},
      {"abc", "_", {"abc"}},
      {"", "_", {}},
      {"x", "", {}},
      {"a::b::", "::", {"a", "b"}},
      {"a:::b", "::", {"a", ":b"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text + " / " + c.delimiter);
    std::vector<std::string> out = {"stale"};
    EXPECT_EQ(c.pieces.size(), SplitA(c.text, c.delimiter, out));
    EXPECT_EQ(c.pieces, out);

    std::wstring wtext(c.text.begin(), c.text.end());
    std::wstring wdelimiter(c.delimiter.begin(), c.delimiter.end());
    std::vector<std::wstring> wout = {L"stale"};
    EXPECT_EQ(c.pieces.size(), SplitW(wtext, wdelimiter, wout));
    ASSERT_EQ(c.pieces.size(), wout.size());
    for (size_t i = 0; i < wout.size(); ++i) {
      EXPECT_EQ(std::wstring(c.pieces[i].begin(), c.pieces[i].end()), wout[i]);
    }
  }
}

TEST(FormatDurationTest, FormatsHoursMinutesSeconds) {
  struct Case {
    unsigned seconds;
    std::wstring text;
  };
  const std::vector<Case> cases = {
      {0, L"00:00:00"},
      {59, L"00:00:59"},
      {3725, L"01:02:05"},
      {86399, L"23:59:59"},
      {360000, L"100:00:00"},
      {2147483648u, L"596523:14:08"},
      {UINT_MAX, L"1193046:28:15"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(c.text, FormatDuration(c.seconds));
    wchar_t buffer[32];
    EXPECT_EQ(static_cast<int>(c.text.size()), FormatDuration(c.seconds, buffer, 32));
    EXPECT_EQ(c.text, std::wstring(buffer));
  }
}

TEST(FormatDurationTest, RefusesBuffersThatAreTooSmall) {
  wchar_t buffer[9];
  EXPECT_EQ(8, FormatDuration(3725, buffer, 9));
  EXPECT_EQ(std::wstring(L"01:02:05"), buffer);
  buffer[0] = L'x';
  EXPECT_EQ(-1, FormatDuration(3725, buffer, 8));
  EXPECT_EQ(L'\0', buffer[0]);
  EXPECT_EQ(-1, FormatDuration(360000, buffer, 9));
  EXPECT_EQ(-1, FormatDuration(1, nullptr, 9));
  EXPECT_EQ(-1, FormatDuration(1, buffer, 0));
}

TEST(ParseVersionTripleTest, AcceptsOnlyThreeUnsignedIntegers) {
  struct Case {
    std::string text;
    bool ok;
    int first, second, third;
  };
  const std::vector<Case> cases = {
      {"1_2_3", true, 1, 2, 3},
      {"10076_0_1", true, 10076, 0, 1},
      {"0_0_0", true, 0, 0, 0},
      {"01_002_3", true, 1, 2, 3},
      {"2147483647_2147483647_2147483647", true, INT_MAX, INT_MAX, INT_MAX},
      {"", false, 0, 0, 0},
      {"1_2", false, 0, 0, 0},
      {"1_2_3_4", false, 0, 0, 0},
      {"1_2_3_", false, 0, 0, 0},
      {"_1_2_3", false, 0, 0, 0},
      {"a_b_c", false, 0, 0, 0},
      {"1_b_3", false, 0, 0, 0},
      {"1__3", false, 0, 0, 0},
      {"__", false, 0, 0, 0},
      {" 1_2_3", false, 0, 0, 0},
      {"1_2_3 ", false, 0, 0, 0},
      {"1_ 2_3", false, 0, 0, 0},
      {"1_2_3\n", false, 0, 0, 0},
      {"99999999999999999999_1_1", false, 0, 0, 0},
      {"1_1_2147483648", false, 0, 0, 0},
      {"-1_2_3", false, 0, 0, 0},
      {"1_-2_3", false, 0, 0, 0},
      {"+1_2_3", false, 0, 0, 0},
      {"0x1_2_3", false, 0, 0, 0},
      {"1.0_2_3", false, 0, 0, 0},
      {"1_2_3e2", false, 0, 0, 0},
      {std::string("1_2_3\0", 6), false, 0, 0, 0},
      {"\xEF\xBC\x91_2_3", false, 0, 0, 0},  // a full-width digit one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    int first = 7;
    int third = 7;
    int second = 7;
    EXPECT_EQ(c.ok, ParseVersionTriple(c.text, first, third, second));
    EXPECT_EQ(c.first, first);
    EXPECT_EQ(c.second, second);
    EXPECT_EQ(c.third, third);
  }
}

// ---------------------------------------------------------------------------
// Disk and clock.

TEST(DiskTest, DriveLetterOfTakesTheTextBeforeTheColon) {
  EXPECT_EQ(L"C", DriveLetterOf(L"C:\\Games"));
  EXPECT_EQ(L"d", DriveLetterOf(L"d:/x/y"));
  EXPECT_EQ(L"", DriveLetterOf(L"\\\\server\\share\\game"));
  EXPECT_EQ(L"", DriveLetterOf(L""));
  // Relative paths resolve against the current directory (the test folder).
  EXPECT_EQ(TestDir().substr(0, TestDir().find(L':')), DriveLetterOf(L"sub\\x"));
}

TEST(DiskTest, DiskFreeAsksForTheRootOfThePathsDrive) {
  FakeDiskSpace fake;
  ScopedDisk seam(&fake);
  const std::wstring own_root = TestDir().substr(0, TestDir().find(L':') + 1) + L"\\";
  struct Case {
    std::wstring path;
    bool ok;
    std::wstring root;
  };
  const std::vector<Case> cases = {
      {L"C:\\Games\\Varnholt", true, L"C:\\"},
      {L"E:", true, L"E:\\"},
      {L"x:/a/b", true, L"x:\\"},
      {L"relative\\folder", true, own_root},
      {L".", true, own_root},
      {L"\\\\server\\share\\game", false, L""},
      {L"", false, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path.begin(), c.path.end()));
    fake.roots.clear();
    uint64_t total = 1;
    uint64_t available = 2;
    EXPECT_EQ(c.ok, DiskFreeW(c.path, total, available));
    if (c.ok) {
      ASSERT_EQ(1u, fake.roots.size());
      EXPECT_EQ(c.root, fake.roots[0]);
      EXPECT_EQ(fake.total_bytes, total);
      EXPECT_EQ(fake.available_bytes, available);
    } else {
      EXPECT_TRUE(fake.roots.empty());
      EXPECT_EQ(1u, total);
      EXPECT_EQ(2u, available);
    }
  }

  uint64_t total = 0;
  uint64_t available = 0;
  fake.roots.clear();
  EXPECT_TRUE(DiskFreeA("D:\\Games", total, available));
  ASSERT_EQ(1u, fake.roots.size());
  EXPECT_EQ(L"D:\\", fake.roots[0]);

  // The system's refusal passes through, outputs untouched.
  fake.result = false;
  total = 1;
  available = 2;
  EXPECT_FALSE(DiskFreeW(L"C:\\Games", total, available));
  EXPECT_EQ(1u, total);
  EXPECT_EQ(2u, available);
}

TEST(DiskTest, RealFreeSpaceOfTheTempFolder) {
  uint64_t total = 0;
  uint64_t available = 0;
  ASSERT_TRUE(DiskFreeW(TestDir(), total, available));
  EXPECT_GT(total, 0u);
  EXPECT_LE(available, total);
  uint64_t total_a = 0;
  uint64_t available_a = 0;
  EXPECT_TRUE(DiskFreeA(".", total_a, available_a));
  EXPECT_EQ(total, total_a);
}

TEST(ClockTest, UtcDateAndTimeComeFromTheClock) {
  FakeClock clock;
  ScopedClock seam(&clock);
  clock.now.wYear = 2024;
  clock.now.wMonth = 2;
  clock.now.wDay = 9;
  clock.now.wHour = 3;
  clock.now.wMinute = 4;
  clock.now.wSecond = 5;
  std::string date;
  std::string time;
  EXPECT_TRUE(GetUtcDateTime(date, time));
  EXPECT_EQ("2024-02-09", date);
  EXPECT_EQ("03:04:05", time);

  clock.now.wYear = 2099;
  clock.now.wMonth = 12;
  clock.now.wDay = 31;
  clock.now.wHour = 23;
  clock.now.wMinute = 59;
  clock.now.wSecond = 59;
  EXPECT_TRUE(GetUtcDateTime(date, time));
  EXPECT_EQ("2099-12-31", date);
  EXPECT_EQ("23:59:59", time);
}

TEST(ClockTest, RealClockGivesWellFormedTexts) {
  std::string date;
  std::string time;
  EXPECT_TRUE(GetUtcDateTime(date, time));
  ASSERT_EQ(10u, date.size());
  EXPECT_EQ('-', date[4]);
  EXPECT_EQ('-', date[7]);
  ASSERT_EQ(8u, time.size());
  EXPECT_EQ(':', time[2]);
  EXPECT_EQ(':', time[5]);
}

// ---------------------------------------------------------------------------
// Registry.

// A key of our own under HKEY_CURRENT_USER, removed with everything in it.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static unsigned counter = 0;
    base_ = L"Software\\LauncherTest\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++counter);
    key_ = base_ + L"\\first";
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    key_handle_ = key;
  }
  void TearDown() override {
    if (key_handle_ != nullptr) RegCloseKey(key_handle_);
    RegDeleteTreeW(HKEY_CURRENT_USER, base_.c_str());
    HKEY parent = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_ALL_ACCESS, &parent) ==
        ERROR_SUCCESS) {
      RegDeleteKeyW(parent, L"LauncherTest");  // only succeeds once it is empty
      RegCloseKey(parent);
    }
  }

  void SetRaw(const std::wstring& name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_handle_, name.c_str(), 0, type,
                                            static_cast<const BYTE*>(data), size));
  }
  // The value's type and raw bytes.
  bool GetRaw(const std::wstring& name, DWORD& type, std::string& bytes) {
    DWORD size = 0;
    if (RegQueryValueExW(key_handle_, name.c_str(), nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS) {
      return false;
    }
    bytes.assign(size, '\0');
    return RegQueryValueExW(key_handle_, name.c_str(), nullptr, &type,
                            reinterpret_cast<BYTE*>(&bytes[0]), &size) == ERROR_SUCCESS;
  }
  static std::string BytesOf(const std::wstring& text, bool with_zero) {
    std::string bytes(reinterpret_cast<const char*>(text.c_str()),
                      (text.size() + (with_zero ? 1 : 0)) * sizeof(wchar_t));
    return bytes;
  }

  std::wstring base_;
  std::wstring key_;
  HKEY key_handle_ = nullptr;
};

TEST_F(RegistryTest, ReadsStringsBoundedByTheirReturnedSize) {
  const std::wstring hello = L"hello";
  // Stored without any terminator.
  SetRaw(L"bare", REG_SZ, hello.c_str(), static_cast<DWORD>(hello.size() * sizeof(wchar_t)));
  // An odd size: the half character at the end is no character.
  SetRaw(L"odd", REG_SZ, hello.c_str(), static_cast<DWORD>(hello.size() * sizeof(wchar_t) + 1));
  const wchar_t embedded[] = L"ab\0cd";
  SetRaw(L"embedded", REG_SZ, embedded, sizeof(embedded));
  SetRaw(L"empty", REG_SZ, L"", 0);
  const std::wstring expand = L"%TEMP%\\x";
  SetRaw(L"expand", REG_EXPAND_SZ, expand.c_str(),
         static_cast<DWORD>((expand.size() + 1) * sizeof(wchar_t)));
  const std::wstring long_text(3000, L'L');
  SetRaw(L"long", REG_SZ, long_text.c_str(),
         static_cast<DWORD>((long_text.size() + 1) * sizeof(wchar_t)));
  const std::wstring unicode = L"\u00E9\u4F8B";
  SetRaw(L"unicode", REG_SZ, unicode.c_str(),
         static_cast<DWORD>((unicode.size() + 1) * sizeof(wchar_t)));
  DWORD number = 7;
  SetRaw(L"number", REG_DWORD, &number, sizeof(number));
  SetRaw(L"binary", REG_BINARY, "ab\0\0", 4);
  const wchar_t multi[] = L"a\0b\0";
  SetRaw(L"multi", REG_MULTI_SZ, multi, sizeof(multi));

  struct Case {
    std::wstring name;
    bool ok;
    std::wstring text;
  };
  const std::vector<Case> cases = {
      {L"bare", true, L"hello"},   {L"odd", true, L"hello"},  {L"embedded", true, L"ab"},
      {L"empty", true, L""},       {L"expand", true, expand}, {L"long", true, long_text},
      {L"unicode", true, unicode}, {L"number", false, L""},   {L"binary", false, L""},
      {L"multi", false, L""},      {L"missing", false, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
    std::wstring out = L"untouched";
    EXPECT_EQ(c.ok, ReadRegistryString(HKEY_CURRENT_USER, key_, c.name, 0, out));
    EXPECT_EQ(c.ok ? c.text : L"untouched", out);
  }
  std::wstring out;
  EXPECT_FALSE(ReadRegistryString(HKEY_CURRENT_USER, base_ + L"\\nokey", L"bare", 0, out));
  // A trailing separator names the same key.
  EXPECT_TRUE(ReadRegistryString(HKEY_CURRENT_USER, key_ + L"\\", L"bare", 0, out));
  EXPECT_EQ(L"hello", out);
}

TEST_F(RegistryTest, ReadsDwordsOfTheRightTypeOnly) {
  DWORD number = 0xFFFFFFFEu;
  SetRaw(L"number", REG_DWORD, &number, sizeof(number));
  SetRaw(L"text", REG_SZ, L"7", 4);
  SetRaw(L"binary", REG_BINARY, "\x01\x00\x00\x00", 4);
  uint64_t wide = 5;
  SetRaw(L"qword", REG_QWORD, &wide, sizeof(wide));
  DWORD out = 1;
  EXPECT_TRUE(ReadRegistryDword(HKEY_CURRENT_USER, key_, L"number", 0, out));
  EXPECT_EQ(0xFFFFFFFEu, out);
  for (const wchar_t* name : {L"text", L"binary", L"qword", L"missing"}) {
    out = 1;
    EXPECT_FALSE(ReadRegistryDword(HKEY_CURRENT_USER, key_, name, 0, out));
    EXPECT_EQ(1u, out);
  }
}

TEST_F(RegistryTest, RegistryStringWritesOnlyWhatDiffers) {
  DWORD type = 0;
  std::string bytes;
  // Missing: written as REG_SZ with its terminator.
  EXPECT_EQ(1, RegistryString(HKEY_CURRENT_USER, key_, L"", L"Run", L"C:\\x y\\l.exe"));
  ASSERT_TRUE(GetRaw(L"Run", type, bytes));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(BytesOf(L"C:\\x y\\l.exe", true), bytes);
  // Equal: nothing to do.
  EXPECT_EQ(0, RegistryString(HKEY_CURRENT_USER, key_, L"", L"Run", L"C:\\x y\\l.exe"));
  // Different: rewritten.
  EXPECT_EQ(1, RegistryString(HKEY_CURRENT_USER, key_, L"", L"Run", L"C:\\z.exe"));
  std::wstring out;
  ASSERT_TRUE(ReadRegistryString(HKEY_CURRENT_USER, key_, L"Run", 0, out));
  EXPECT_EQ(L"C:\\z.exe", out);
  // A longer stored text that starts with ours is not equal.
  EXPECT_EQ(1, RegistryString(HKEY_CURRENT_USER, key_, L"", L"Run", L"C:\\z"));
  // Empty texts are values too.
  EXPECT_EQ(1, RegistryString(HKEY_CURRENT_USER, key_, L"", L"Run", L""));
  EXPECT_EQ(0, RegistryString(HKEY_CURRENT_USER, key_, L"", L"Run", L""));
}

TEST_F(RegistryTest, RegistryStringComparesByReturnedSizeAndType) {
  const std::wstring text = L"value";
  // Stored without a terminator, still equal.
  SetRaw(L"bare", REG_SZ, text.c_str(), static_cast<DWORD>(text.size() * sizeof(wchar_t)));
  EXPECT_EQ(0, RegistryString(HKEY_CURRENT_USER, key_, L"", L"bare", text));
  // Other types are replaced by a REG_SZ.
  DWORD number = 5;
  SetRaw(L"number", REG_DWORD, &number, sizeof(number));
  EXPECT_EQ(1, RegistryString(HKEY_CURRENT_USER, key_, L"", L"number", L"5"));
  SetRaw(L"expand", REG_EXPAND_SZ, text.c_str(),
         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  EXPECT_EQ(1, RegistryString(HKEY_CURRENT_USER, key_, L"", L"expand", text));
  DWORD type = 0;
  std::string bytes;
  ASSERT_TRUE(GetRaw(L"number", type, bytes));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  ASSERT_TRUE(GetRaw(L"expand", type, bytes));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  // A zero inside the text cannot be kept by a REG_SZ.
  EXPECT_EQ(-1, RegistryString(HKEY_CURRENT_USER, key_, L"", L"zero", std::wstring(L"a\0b", 3)));
  EXPECT_FALSE(GetRaw(L"zero", type, bytes));
}

TEST_F(RegistryTest, RegistryStringFallsBackToTheSecondKey) {
  const std::wstring missing = base_ + L"\\missing";
  EXPECT_EQ(1, RegistryString(HKEY_CURRENT_USER, missing, key_, L"v", L"text"));
  std::wstring out;
  ASSERT_TRUE(ReadRegistryString(HKEY_CURRENT_USER, key_, L"v", 0, out));
  EXPECT_EQ(L"text", out);
  EXPECT_EQ(0, RegistryString(HKEY_CURRENT_USER, missing, key_, L"v", L"text"));
  // The first key wins whenever it exists.
  EXPECT_EQ(1, RegistryString(HKEY_CURRENT_USER, key_, missing, L"w", L"text"));
  // Neither key: failure, and nothing is created.
  EXPECT_EQ(-1, RegistryString(HKEY_CURRENT_USER, missing, L"", L"v", L"text"));
  EXPECT_EQ(-1, RegistryString(HKEY_CURRENT_USER, missing, base_ + L"\\other", L"v", L"text"));
  HKEY key = nullptr;
  EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, missing.c_str(), 0, KEY_READ, &key));
}

TEST(MachineRegistryTest, ReadsOfTheMachineReturnSomethingOrFailCleanly) {
  const std::string version = GetWindowsVersion();
  // "major.minor.build"; Wine may lack the two numbers, which gives "0.0.".
  ASSERT_GE(version.size(), 4u);
  size_t first_dot = version.find('.');
  ASSERT_NE(std::string::npos, first_dot);
  EXPECT_NE(std::string::npos, version.find('.', first_dot + 1));
  EXPECT_TRUE(version[0] >= '0' && version[0] <= '9');

  const std::string processor = GetProcessorName();
  EXPECT_EQ(std::string::npos, processor.find('\0'));

  EXPECT_EQ("", RegReadHklmString(L"SOFTWARE\\LauncherTest\\NoSuchKey", "x"));
  EXPECT_EQ("0", RegReadHklmDword(L"SOFTWARE\\LauncherTest\\NoSuchKey", "x"));
  // A string value read as a number fails the type check.
  EXPECT_EQ("0",
            RegReadHklmDword(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\", "ProductName"));
}

// ---------------------------------------------------------------------------
// Files.

TEST(ReadHandleAllTest, ReadsExactlyTheCountAndClosesTheHandle) {
  const std::wstring path = TestDir() + L"data.bin";
  ASSERT_TRUE(WriteBytes(path, std::string("ab\0cdef", 7)));
  auto open_exclusive = [&path]() {
    return CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
  };

  struct Case {
    uint32_t count;
    bool ok;
  };
  const std::vector<Case> cases = {{7, true}, {3, true}, {0, true}, {8, false}, {100, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    HANDLE file = open_exclusive();
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    int size = -5;
    std::unique_ptr<uint8_t[]> data = ReadHandleAll(file, c.count, &size);
    EXPECT_EQ(c.ok, data != nullptr);
    if (c.ok) {
      EXPECT_EQ(static_cast<int>(c.count), size);
      EXPECT_EQ(0, std::memcmp(data.get(), "ab\0cdef", c.count));
      EXPECT_EQ(0, data[c.count]);
    } else {
      EXPECT_EQ(-5, size);
    }
    // The file was opened without sharing: it opens again only once closed.
    ScopedHandle again(open_exclusive());
    EXPECT_TRUE(again.valid());
  }

  EXPECT_EQ(nullptr, ReadHandleAll(INVALID_HANDLE_VALUE, 1, nullptr));
  EXPECT_EQ(nullptr, ReadHandleAll(nullptr, 1, nullptr));
  // A count beyond what the size output can hold is refused, handle closed.
  HANDLE file = open_exclusive();
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  EXPECT_EQ(nullptr, ReadHandleAll(file, 0x80000000u, nullptr));
  ScopedHandle again(open_exclusive());
  EXPECT_TRUE(again.valid());
  // A null size output is allowed.
  EXPECT_NE(nullptr, ReadHandleAll(again.release(), 2, nullptr));
}

}  // namespace
