#include "ui/zip_reader.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_dir.h"
#include "ui/zip_test_util.h"

namespace {

using testsupport::TestDir;
using ui::ZipArchive;
using ui::ZipEntry;

std::string Pattern(size_t size, unsigned seed = 1) {
  std::string data(size, '\0');
  unsigned x = seed;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    // Half text-like, half noise, so deflate has something to do either way.
    data[i] = (i % 64 < 32) ? static_cast<char>('a' + (i % 7)) : static_cast<char>(x >> 16);
  }
  return data;
}

std::string MakeZip(const std::vector<ziptest::Entry>& entries) {
  return ziptest::MakeZip(TestDir() + L"scratch.zip", entries);
}

std::unique_ptr<ZipArchive> OpenMemory(const std::string& data, uint32_t* result = nullptr) {
  return ZipArchive::OpenMemory(data.data(), data.size(), result);
}

// An archive read in place needs its bytes for as long as it is open; these
// stay until the program ends.
std::unique_ptr<ZipArchive> OpenMade(const std::vector<ziptest::Entry>& entries) {
  static std::list<std::string> blocks;
  blocks.push_back(MakeZip(entries));
  return OpenMemory(blocks.back());
}

std::string ReadByName(ZipArchive& zip, const std::wstring& name, uint32_t* code = nullptr) {
  std::string out;
  uint32_t rc = zip.ReadEntry(name, out);
  if (code != nullptr) *code = rc;
  return out;
}

uint64_t Ticks(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

uint64_t TicksOfUnix(int64_t seconds) {
  return static_cast<uint64_t>(seconds + 11644473600LL) * 10000000ULL;
}

// ---------------------------------------------------------------------------

TEST(ZipReaderTest, OpensFileNameHandleAndMemoryAlike) {
  const std::string big = Pattern(200000);
  const std::vector<ziptest::Entry> entries = {
      ziptest::File("resources/lang/en.ini", "STRING_START_GAME = Start Game\n"),
      ziptest::File("resources/stored.bin", big, 0),
      ziptest::File("resources/deflated.bin", big),
  };
  const std::wstring path = TestDir() + L"package.zip";
  ASSERT_TRUE(ziptest::WriteZip(path, entries));
  const std::string bytes = ziptest::ReadAll(path);

  // The handle source starts inside a larger file: every position is taken
  // from where the handle stood.
  const std::wstring embedded = TestDir() + L"embedded.bin";
  ASSERT_TRUE(ziptest::WriteAll(embedded, std::string(777, 'P') + bytes));
  HANDLE handle = CreateFileW(embedded.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  LARGE_INTEGER at = {};
  at.QuadPart = 777;
  ASSERT_TRUE(SetFilePointerEx(handle, at, nullptr, FILE_BEGIN));

  struct Case {
    const char* what;
    std::unique_ptr<ZipArchive> zip;
    uint32_t result;
  };
  std::vector<Case> cases(3);
  cases[0].what = "file name";
  cases[0].zip = ZipArchive::OpenFile(path, &cases[0].result);
  cases[1].what = "handle";
  cases[1].zip = ZipArchive::OpenHandle(handle, &cases[1].result);
  cases[2].what = "memory";
  cases[2].zip = OpenMemory(bytes, &cases[2].result);
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(c.zip, nullptr);
    EXPECT_EQ(c.result, ui::kZipOk);
    EXPECT_EQ(c.zip->EntryCount(), 3);
    EXPECT_EQ(ReadByName(*c.zip, L"resources/lang/en.ini"), "STRING_START_GAME = Start Game\n");
    EXPECT_EQ(ReadByName(*c.zip, L"resources/stored.bin"), big);
    EXPECT_EQ(ReadByName(*c.zip, L"resources/deflated.bin"), big);
  }
  cases.clear();

  // A caller's handle stays open; a file the archive opened is let go.
  LARGE_INTEGER size = {};
  EXPECT_TRUE(GetFileSizeEx(handle, &size));
  EXPECT_TRUE(CloseHandle(handle));
  EXPECT_TRUE(DeleteFileW(path.c_str()));
}

TEST(ZipReaderTest, RefusesWhatIsNotAReadableArchive) {
  const std::string good =
      MakeZip({ziptest::File("a.txt", "alpha"), ziptest::File("b.txt", "beta")});
  ASSERT_FALSE(good.empty());
  std::string binary(4096, '\0');
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<char>((i * 7919) >> 3);
  // A directory that claims one entry more than it holds.
  std::string lying = good;
  size_t eocd = lying.rfind("PK\x05\x06");
  ASSERT_NE(eocd, std::string::npos);
  lying[eocd + 8] = 3;
  lying[eocd + 10] = 3;
  // A directory whose first header lost its signature.
  std::string broken_directory = good;
  size_t central = broken_directory.find("PK\x01\x02");
  ASSERT_NE(central, std::string::npos);
  broken_directory[central + 2] = 'X';

  struct Case {
    const char* what;
    std::string data;
  };
  const std::vector<Case> cases = {
      {"text", "this is not a zip archive"},
      {"empty", ""},
      {"binary noise", binary},
      {"first half", good.substr(0, good.size() / 2)},
      {"no end record", good.substr(0, eocd)},
      {"entry count lies", lying},
      {"broken directory", broken_directory},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint32_t result = 12345;
    EXPECT_EQ(OpenMemory(c.data, &result), nullptr);
    EXPECT_EQ(result, ui::kZipCannotOpen);
  }

  uint32_t result = 0;
  EXPECT_EQ(ZipArchive::OpenFile(TestDir() + L"missing.zip", &result), nullptr);
  EXPECT_EQ(result, ui::kZipCannotOpen);
  EXPECT_EQ(ZipArchive::OpenFile(L"", &result), nullptr);
  EXPECT_EQ(result, ui::kZipCannotOpen);
  EXPECT_EQ(ZipArchive::Open(good.data(), good.size(), 4, nullptr, &result), nullptr);
  EXPECT_EQ(result, ui::kZipBadArgument);
  EXPECT_EQ(ZipArchive::Open(nullptr, 10, ui::kZipSourceMemory, nullptr, &result), nullptr);
  EXPECT_EQ(result, ui::kZipBadArgument);
  EXPECT_EQ(ZipArchive::OpenHandle(INVALID_HANDLE_VALUE, &result), nullptr);
  EXPECT_EQ(result, ui::kZipBadArgument);
}

TEST(ZipReaderTest, AnArchiveWithoutEntriesDoesNotOpen) {
  // minizip never finds an end record at offset 0, which is where an archive
  // without entries has it; such a package is as good as none.
  const std::string empty = MakeZip({});
  ASSERT_EQ(empty.size(), 22u);
  uint32_t result = 0;
  EXPECT_EQ(OpenMemory(empty, &result), nullptr);
  EXPECT_EQ(result, ui::kZipCannotOpen);
}

TEST(ZipReaderTest, FindEntryIgnoresTheCaseOfAsciiLettersOnly) {
  const std::string long_name = "resources/" + std::string(250, 'x') + ".ini";  // > 255 bytes
  const std::string data = MakeZip({
      ziptest::File("resources/lang/en.ini", "english"),
      ziptest::File("resources/lang/\xC3\xA9t\xC3\xA9.ini", "summer"),  // "été"
      ziptest::File(long_name, "long"),
  });
  auto zip = OpenMemory(data);
  ASSERT_NE(zip, nullptr);

  int index = -1;
  ZipEntry entry;
  EXPECT_EQ(zip->FindEntry(L"RESOURCES/LANG/EN.INI", index, &entry), ui::kZipOk);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(entry.index, 0);
  EXPECT_EQ(entry.name, L"resources/lang/en.ini");
  EXPECT_EQ(ReadByName(*zip, L"Resources/Lang/En.Ini"), "english");

  EXPECT_EQ(zip->FindEntry(L"resources/lang/\u00e9t\u00e9.ini", index, &entry), ui::kZipOk);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(entry.name, L"resources/lang/\u00e9t\u00e9.ini");
  // Only a to z fold; other letters must match exactly.
  EXPECT_EQ(zip->FindEntry(L"resources/lang/\u00c9T\u00c9.ini", index, &entry), ui::kZipNotFound);
  EXPECT_EQ(index, -1);
  EXPECT_EQ(entry.index, -1);

  std::wstring wide_long(long_name.begin(), long_name.end());
  EXPECT_EQ(zip->FindEntry(wide_long, index, nullptr), ui::kZipNotFound);
  ZipEntry by_index;
  EXPECT_EQ(zip->GetEntry(2, by_index), ui::kZipOk);
  EXPECT_EQ(by_index.name, wide_long);

  EXPECT_EQ(zip->FindEntry(L"", index, nullptr), ui::kZipNotFound);
  EXPECT_EQ(zip->FindEntry(L"resources/lang/fr.ini", index, nullptr), ui::kZipNotFound);
  EXPECT_EQ(zip->FindEntry(L"resources\\lang\\en.ini", index, nullptr), ui::kZipNotFound);
}

TEST(ZipReaderTest, UnzipsPiecewiseIntoSmallBuffers) {
  const std::string content = Pattern(1000, 3);
  for (int method : {0, static_cast<int>(Z_DEFLATED)}) {
    SCOPED_TRACE(method);
    auto zip = OpenMade({ziptest::File("a.bin", content, method)});
    ASSERT_NE(zip, nullptr);

    std::string joined;
    char buffer[300];
    uint32_t rc = ui::kZipMoreData;
    int calls = 0;
    while (rc == ui::kZipMoreData && calls < 10) {
      std::fill(buffer, buffer + sizeof(buffer), '\0');
      rc = zip->Unzip(0, buffer, sizeof(buffer));
      ++calls;
      size_t got = rc == ui::kZipMoreData ? sizeof(buffer) : content.size() - joined.size();
      joined.append(buffer, got);
    }
    EXPECT_EQ(rc, ui::kZipOk);
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(joined, content);

    // A buffer of exactly the entry's size takes it in one call.
    std::string whole(content.size(), '\0');
    EXPECT_EQ(zip->Unzip(0, &whole[0], static_cast<uint32_t>(whole.size())), ui::kZipOk);
    EXPECT_EQ(whole, content);

    // Another call in between closes the entry; the next Unzip starts again.
    EXPECT_EQ(zip->Unzip(0, buffer, sizeof(buffer)), ui::kZipMoreData);
    ZipEntry entry;
    EXPECT_EQ(zip->GetEntry(0, entry), ui::kZipOk);
    std::string again(content.size(), '\0');
    EXPECT_EQ(zip->Unzip(0, &again[0], static_cast<uint32_t>(again.size())), ui::kZipOk);
    EXPECT_EQ(again, content);
  }
}

TEST(ZipReaderTest, RefusesBadUnzipArguments) {
  auto zip = OpenMade({ziptest::File("a.txt", "alpha")});
  ASSERT_NE(zip, nullptr);
  char buffer[8];
  EXPECT_EQ(zip->Unzip(-1, buffer, sizeof(buffer)), ui::kZipBadArgument);
  EXPECT_EQ(zip->Unzip(1, buffer, sizeof(buffer)), ui::kZipBadArgument);
  EXPECT_EQ(zip->Unzip(0, nullptr, 5), ui::kZipBadArgument);
  ZipEntry entry;
  EXPECT_EQ(zip->GetEntry(-1, entry), ui::kZipBadArgument);
  EXPECT_EQ(zip->GetEntry(1, entry), ui::kZipBadArgument);
  std::string out = "stale";
  EXPECT_EQ(zip->ReadEntryAt(5, out), ui::kZipBadArgument);
  EXPECT_TRUE(out.empty());
  // Still usable after every refusal.
  EXPECT_EQ(ReadByName(*zip, L"a.txt"), "alpha");
}

TEST(ZipReaderTest, EmptyEntriesAndFolders) {
  ziptest::Entry folder = ziptest::File("resources/", "", 0);
  folder.externalAttr = 0x10;
  auto zip =
      OpenMade({folder, ziptest::File("empty.txt", ""), ziptest::File("empty_stored.txt", "", 0)});
  ASSERT_NE(zip, nullptr);
  ZipEntry entry;
  ASSERT_EQ(zip->GetEntry(0, entry), ui::kZipOk);
  EXPECT_EQ(entry.name, L"resources/");
  EXPECT_EQ(entry.attributes, ui::kZipAttrDirectory);
  for (const wchar_t* name : {L"resources/", L"empty.txt", L"empty_stored.txt"}) {
    uint32_t rc = 1;
    EXPECT_EQ(ReadByName(*zip, name, &rc), "");
    EXPECT_EQ(rc, ui::kZipOk) << name;
  }
  EXPECT_EQ(zip->Unzip(1, nullptr, 0), ui::kZipOk);
}

TEST(ZipReaderTest, EntryRecordsCarryAttributesSizesAndTimes) {
  const uint32_t dos =
      ((2021u - 1980u) << 25) | (3u << 21) | (4u << 16) | (5u << 11) | (6u << 5) | (8u / 2);
  struct Case {
    const char* name;
    uint32_t versionMadeBy;
    uint32_t external;
    uint32_t attributes;
  };
  const std::vector<Case> cases = {
      {"dos_plain", 0x0014, 0x00, 0},
      {"dos_readonly_archive", 0x0014, 0x21, ui::kZipAttrReadOnly | ui::kZipAttrArchive},
      {"dos_hidden_system_dir/", 0x0014, 0x16,
       ui::kZipAttrHidden | ui::kZipAttrSystem | ui::kZipAttrDirectory},
      {"ntfs_archive", 0x0B14, 0x20, ui::kZipAttrArchive},
      {"unix_writable", 0x0314, 0100644u << 16, ui::kZipAttrArchive},
      {"unix_readonly", 0x0314, 0100444u << 16, ui::kZipAttrArchive | ui::kZipAttrReadOnly},
      {"unix_dir/", 0x0314, 040755u << 16, ui::kZipAttrArchive | ui::kZipAttrDirectory},
  };
  std::vector<ziptest::Entry> entries;
  for (const Case& c : cases) {
    ziptest::Entry e = ziptest::File(c.name, Pattern(100), 0);
    e.versionMadeBy = c.versionMadeBy;
    e.externalAttr = c.external;
    e.dosDate = dos;
    entries.push_back(e);
  }
  ziptest::Entry modified = ziptest::File("ut_modified", Pattern(5000));
  modified.dosDate = dos;
  modified.localExtra = std::string("\x99\x99\x02\x00zz", 6) + ziptest::UtBlock(1, {1600000000});
  entries.push_back(modified);
  ziptest::Entry all_three = ziptest::File("ut_all", "x");
  all_three.dosDate = dos;
  all_three.localExtra = ziptest::UtBlock(7, {1600000000, 1500000000, -86400});
  entries.push_back(all_three);
  ziptest::Entry cut = ziptest::File("ut_cut", "x");
  cut.dosDate = dos;
  cut.localExtra = ziptest::UtBlock(7, {1600000000});  // flags promise more than it holds
  entries.push_back(cut);

  auto zip = OpenMade(entries);
  ASSERT_NE(zip, nullptr);

  // The DOS time is local time: converted back it gives the stored clock.
  ZipEntry first;
  ASSERT_EQ(zip->GetEntry(0, first), ui::kZipOk);
  SYSTEMTIME utc = {};
  SYSTEMTIME local = {};
  ASSERT_TRUE(FileTimeToSystemTime(&first.modificationTime, &utc));
  ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
  EXPECT_EQ(local.wYear, 2021);
  EXPECT_EQ(local.wMonth, 3);
  EXPECT_EQ(local.wDay, 4);
  EXPECT_EQ(local.wHour, 5);
  EXPECT_EQ(local.wMinute, 6);
  EXPECT_EQ(local.wSecond, 8);
  const uint64_t dos_ticks = Ticks(first.modificationTime);

  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    ZipEntry entry;
    ASSERT_EQ(zip->GetEntry(static_cast<int>(i), entry), ui::kZipOk);
    EXPECT_EQ(entry.index, static_cast<int>(i));
    EXPECT_EQ(entry.attributes, cases[i].attributes);
    EXPECT_EQ(entry.uncompressedSize, 100u);
    EXPECT_EQ(entry.compressedSize, 100u);
    EXPECT_EQ(Ticks(entry.accessTime), dos_ticks);
    EXPECT_EQ(Ticks(entry.creationTime), dos_ticks);
    EXPECT_EQ(Ticks(entry.modificationTime), dos_ticks);
  }

  ZipEntry entry;
  ASSERT_EQ(zip->GetEntry(static_cast<int>(cases.size()), entry), ui::kZipOk);
  EXPECT_EQ(entry.uncompressedSize, 5000u);
  EXPECT_LT(entry.compressedSize, 5000u);
  EXPECT_EQ(Ticks(entry.modificationTime), TicksOfUnix(1600000000));
  EXPECT_EQ(Ticks(entry.accessTime), dos_ticks);
  EXPECT_EQ(Ticks(entry.creationTime), dos_ticks);

  ASSERT_EQ(zip->GetEntry(static_cast<int>(cases.size()) + 1, entry), ui::kZipOk);
  EXPECT_EQ(Ticks(entry.modificationTime), TicksOfUnix(1600000000));
  EXPECT_EQ(Ticks(entry.accessTime), TicksOfUnix(1500000000));
  EXPECT_EQ(Ticks(entry.creationTime), TicksOfUnix(-86400));

  ASSERT_EQ(zip->GetEntry(static_cast<int>(cases.size()) + 2, entry), ui::kZipOk);
  EXPECT_EQ(Ticks(entry.modificationTime), TicksOfUnix(1600000000));
  EXPECT_EQ(Ticks(entry.accessTime), dos_ticks);
}

TEST(ZipReaderTest, GetEntryKeepsTheLastRecord) {
  std::string data = MakeZip({ziptest::File("a.txt", "alpha"), ziptest::File("b.txt", "beta")});
  auto zip = OpenMemory(data);  // read in place: changes to `data` are seen
  ASSERT_NE(zip, nullptr);
  ZipEntry entry;
  ASSERT_EQ(zip->GetEntry(0, entry), ui::kZipOk);
  ASSERT_EQ(data.compare(0, 4, "PK\x03\x04"), 0);
  data[3] = 'X';                                   // the first local header loses its signature
  EXPECT_EQ(zip->GetEntry(0, entry), ui::kZipOk);  // the kept record, source untouched
  EXPECT_EQ(entry.name, L"a.txt");
  EXPECT_EQ(zip->GetEntry(1, entry), ui::kZipOk);
  EXPECT_EQ(zip->GetEntry(0, entry), ui::kZipBadLocalHeader);
  char buffer[8];
  EXPECT_EQ(zip->Unzip(0, buffer, 5), ui::kZipBadLocalHeader);
  EXPECT_EQ(ReadByName(*zip, L"b.txt"), "beta");
}

TEST(ZipReaderTest, LocalHeaderThatContradictsTheDirectory) {
  std::string data =
      MakeZip({ziptest::File("a.txt", Pattern(300)), ziptest::File("b.txt", "beta")});
  ASSERT_EQ(data[8], static_cast<char>(Z_DEFLATED));
  data[8] = 0;  // the local header says stored, the directory deflated
  auto zip = OpenMemory(data);
  ASSERT_NE(zip, nullptr);
  ZipEntry entry;
  EXPECT_EQ(zip->GetEntry(0, entry), ui::kZipBadLocalHeader);
  uint32_t rc = 0;
  EXPECT_EQ(ReadByName(*zip, L"a.txt", &rc), "");
  EXPECT_EQ(rc, ui::kZipBadLocalHeader);
  EXPECT_EQ(ReadByName(*zip, L"b.txt"), "beta");
}

TEST(ZipReaderTest, RefusesUnsafeNames) {
  struct Case {
    const char* name;
    bool safe;
  };
  const std::vector<Case> cases = {
      {"../evil", false},
      {"resources/../../evil", false},
      {"resources/..", false},
      {"a/..\\b", false},
      {"..\\evil", false},
      {"/etc/evil", false},
      {"\\evil", false},
      {"C:\\evil.txt", false},
      {"c:evil", false},
      {"file.txt:stream", false},
      {"bad\x01name", false},
      {"resources/lang/en.ini", true},
      {"resources/..x/a", true},
      {"resources/a..b", true},
      {"...", true},
      {"resources/./en.ini", true},
      {"dir/", true},
  };
  std::vector<ziptest::Entry> entries;
  for (const Case& c : cases) {
    EXPECT_EQ(ui::IsSafeZipEntryName(c.name), c.safe) << c.name;
    entries.push_back(ziptest::File(c.name, std::string("data of ") + c.name));
  }
  EXPECT_FALSE(ui::IsSafeZipEntryName(""));
  EXPECT_FALSE(ui::IsSafeZipEntryName(std::string("a\0b", 3)));

  auto zip = OpenMade(entries);
  ASSERT_NE(zip, nullptr);
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    std::wstring wide(c.name, c.name + strlen(c.name));
    ZipEntry entry;
    int index = 99;
    std::string out;
    char buffer[64];
    if (c.safe) {
      EXPECT_EQ(zip->GetEntry(static_cast<int>(i), entry), ui::kZipOk);
      EXPECT_EQ(entry.name, wide);
      EXPECT_EQ(zip->ReadEntryAt(static_cast<int>(i), out), ui::kZipOk);
      EXPECT_EQ(out, std::string("data of ") + c.name);
    } else {
      EXPECT_EQ(zip->GetEntry(static_cast<int>(i), entry), ui::kZipUnsafeName);
      EXPECT_EQ(zip->FindEntry(wide, index, &entry), ui::kZipUnsafeName);
      EXPECT_EQ(index, -1);
      EXPECT_EQ(entry.index, -1);
      EXPECT_EQ(zip->Unzip(static_cast<int>(i), buffer, sizeof(buffer)), ui::kZipUnsafeName);
      EXPECT_EQ(zip->ReadEntry(wide, out), ui::kZipUnsafeName);
      EXPECT_TRUE(out.empty());
    }
  }
  // The tail of an escaping name does not stand in for a plain entry.
  int index = 0;
  EXPECT_EQ(zip->FindEntry(L"evil", index, nullptr), ui::kZipNotFound);
  EXPECT_EQ(zip->FindEntry(L"evil.txt", index, nullptr), ui::kZipNotFound);
}

TEST(ZipReaderTest, RefusesEntriesDeclaredTooLarge) {
  const std::string small = "tiny content";
  const uint64_t huge = 300ull << 20;
  auto zip = OpenMade({
      ziptest::RawDeflated("huge.bin", small, huge, ziptest::Crc(small)),
      ziptest::File("ok.txt", "fine"),
  });
  ASSERT_NE(zip, nullptr);
  ZipEntry entry;
  EXPECT_EQ(zip->GetEntry(0, entry), ui::kZipEntryTooLarge);
  int index = 5;
  EXPECT_EQ(zip->FindEntry(L"huge.bin", index, &entry), ui::kZipEntryTooLarge);
  EXPECT_EQ(index, -1);
  char buffer[16];
  EXPECT_EQ(zip->Unzip(0, buffer, sizeof(buffer)), ui::kZipEntryTooLarge);
  uint32_t rc = 0;
  EXPECT_EQ(ReadByName(*zip, L"huge.bin", &rc), "");
  EXPECT_EQ(rc, ui::kZipEntryTooLarge);
  EXPECT_EQ(ReadByName(*zip, L"ok.txt"), "fine");
}

TEST(ZipReaderTest, DataThatDisagreesWithItsDeclarationFails) {
  const std::string content = Pattern(1000, 9);
  ziptest::Entry stored_short;
  stored_short.name = "stored_short.bin";
  stored_short.data = content;
  stored_short.method = 0;
  stored_short.raw = true;
  stored_short.declaredSize = 1500;
  stored_short.crc = ziptest::Crc(content);

  struct Case {
    const char* what;
    ziptest::Entry entry;
  };
  const std::vector<Case> cases = {
      // Declares 10 bytes (with their CRC) but inflates to 1000.
      {"inflates to more",
       ziptest::RawDeflated("more.bin", content, 10, ziptest::Crc(content.substr(0, 10)))},
      {"inflates to less", ziptest::RawDeflated("less.bin", content, 2000, ziptest::Crc(content))},
      {"wrong crc", ziptest::RawDeflated("crc.bin", content, 1000, ziptest::Crc(content) ^ 1)},
      {"cut deflate stream",
       [&] {
         ziptest::Entry e = ziptest::RawDeflated("cut.bin", content, 1000, ziptest::Crc(content));
         e.data.resize(e.data.size() / 2);
         return e;
       }()},
      {"stored sizes differ", stored_short},
  };
  std::vector<ziptest::Entry> entries;
  for (const Case& c : cases) entries.push_back(c.entry);
  entries.push_back(ziptest::File("good.bin", content));
  auto zip = OpenMade(entries);
  ASSERT_NE(zip, nullptr);
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    ZipEntry entry;
    ASSERT_EQ(zip->GetEntry(static_cast<int>(i), entry), ui::kZipOk);
    std::string buffer(entry.uncompressedSize, '\0');
    EXPECT_EQ(zip->Unzip(static_cast<int>(i), &buffer[0], entry.uncompressedSize),
              ui::kZipInflateFailed);
    std::string out = "stale";
    EXPECT_EQ(zip->ReadEntryAt(static_cast<int>(i), out), ui::kZipInflateFailed);
    EXPECT_TRUE(out.empty());
  }
  EXPECT_EQ(ReadByName(*zip, L"good.bin"), content);
}

TEST(ZipReaderTest, CorruptCompressedDataFailsOnlyItsEntry) {
  const std::string content = Pattern(20000, 5);
  std::string data = MakeZip({ziptest::File("a.bin", content), ziptest::File("b.txt", "beta")});
  // The deflated bytes of a.bin start after its 30-byte local header and name.
  for (size_t i = 30 + 5 + 10; i < 30 + 5 + 400; i += 7)
    data[i] = static_cast<char>(data[i] ^ 0x5A);
  auto zip = OpenMemory(data);
  ASSERT_NE(zip, nullptr);
  uint32_t rc = 0;
  EXPECT_EQ(ReadByName(*zip, L"a.bin", &rc), "");
  EXPECT_EQ(rc, ui::kZipInflateFailed);
  EXPECT_EQ(ReadByName(*zip, L"b.txt"), "beta");
}

TEST(ZipReaderTest, EncryptedEntriesNeedAPassword) {
  ziptest::Entry secret = ziptest::File("secret.txt", "hidden words");
  secret.password = "letmein";
  auto zip = OpenMade({secret, ziptest::File("open.txt", "plain")});
  ASSERT_NE(zip, nullptr);
  ZipEntry entry;
  EXPECT_EQ(zip->GetEntry(0, entry), ui::kZipOk);
  char buffer[64];
  EXPECT_EQ(zip->Unzip(0, buffer, sizeof(buffer)), ui::kZipPassword);
  EXPECT_EQ(ReadByName(*zip, L"open.txt"), "plain");
}

TEST(ZipReaderTest, OneArchiveServesSeveralThreads) {
  std::vector<ziptest::Entry> entries;
  for (int i = 0; i < 8; ++i) {
    entries.push_back(ziptest::File("f" + std::to_string(i), Pattern(3000 + 100 * i, i)));
  }
  auto zip = OpenMade(entries);
  ASSERT_NE(zip, nullptr);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 100; ++round) {
        int i = (round + t) % 8;
        std::string out;
        if (zip->ReadEntry(L"f" + std::to_wstring(i), out) != ui::kZipOk ||
            out != entries[static_cast<size_t>(i)].data) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
