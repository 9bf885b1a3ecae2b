#include "ui/resource_package_handle.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_dir.h"
#include "ui/zip_test_util.h"

namespace {

using testsupport::TestDir;

// A package read from memory, with its bytes.
struct MemoryPackage {
  std::string bytes;
  std::shared_ptr<ui::ZipArchive> archive;
};

std::shared_ptr<MemoryPackage> MakePackage(const std::vector<ziptest::Entry>& entries) {
  auto package = std::make_shared<MemoryPackage>();
  package->bytes = ziptest::MakeZip(TestDir() + L"scratch.zip", entries);
  package->archive = ui::ZipArchive::OpenMemory(package->bytes.data(), package->bytes.size());
  return package;
}

class ResourcePackageHandleTest : public ::testing::Test {
 protected:
  void TearDown() override { ui::CloseResourcePackage(); }
};

TEST_F(ResourcePackageHandleTest, EntryNamesUseThePackageForm) {
  struct Case {
    const wchar_t* path;
    const wchar_t* name;
  };
  const std::vector<Case> cases = {
      {L"resources\\lang\\en.ini", L"resources/lang/en.ini"},
      {L".\\resources\\themes\\default\\global.xml", L"resources/themes/default/global.xml"},
      {L"\\resources\\\\lang//en.ini", L"resources/lang/en.ini"},
      {L"./././a.txt", L"a.txt"},
      {L".\\\\a.txt", L"a.txt"},
      {L"//", L""},
      {L"", L""},
      {L"..\\evil", L"../evil"},
  };
  for (const Case& c : cases) EXPECT_EQ(ui::PackageEntryName(c.path), c.name) << c.path;
}

TEST_F(ResourcePackageHandleTest, InstallsReplacesAndCloses) {
  EXPECT_EQ(ui::GetResourcePackage(), nullptr);
  auto first = MakePackage({ziptest::File("a.txt", "first")});
  auto second = MakePackage({ziptest::File("a.txt", "second")});
  ASSERT_NE(first->archive, nullptr);
  ASSERT_NE(second->archive, nullptr);

  EXPECT_EQ(ui::SetResourcePackage(first->archive), nullptr);
  EXPECT_EQ(ui::GetResourcePackage(), first->archive);
  EXPECT_EQ(ui::SetResourcePackage(second->archive), first->archive);
  std::string text;
  EXPECT_TRUE(ui::ReadResourcePackageEntry(L"a.txt", text));
  EXPECT_EQ(text, "second");

  ui::CloseResourcePackage();
  EXPECT_EQ(ui::GetResourcePackage(), nullptr);
  EXPECT_FALSE(ui::ReadResourcePackageEntry(L"a.txt", text));
  EXPECT_TRUE(text.empty());
}

TEST_F(ResourcePackageHandleTest, ReadsEntriesByPathInAnyForm) {
  auto package = MakePackage({
      ziptest::File("resources/lang/en.ini", "STRING_START_GAME = Start Game\n"),
      ziptest::File("../evil", "outside"),
  });
  ASSERT_NE(package->archive, nullptr);
  ui::SetResourcePackage(package->archive);

  struct Case {
    const wchar_t* path;
    bool found;
  };
  const std::vector<Case> cases = {
      {L"resources\\lang\\en.ini", true},
      {L".\\resources\\lang\\en.ini", true},
      {L"/RESOURCES/Lang/EN.ini", true},
      {L"resources\\lang\\vi.ini", false},
      {L"", false},
      {L"..\\evil", false},
      {L"evil", false},
  };
  for (const Case& c : cases) {
    std::string text = "stale";
    EXPECT_EQ(ui::ReadResourcePackageEntry(c.path, text), c.found) << c.path;
    EXPECT_EQ(text, c.found ? "STRING_START_GAME = Start Game\n" : "") << c.path;
  }
}

TEST_F(ResourcePackageHandleTest, ReadersAndAReplacerShareTheHolder) {
  auto a = MakePackage({ziptest::File("x.txt", std::string(5000, 'a'))});
  auto b = MakePackage({ziptest::File("x.txt", std::string(5000, 'b'))});
  ASSERT_NE(a->archive, nullptr);
  ASSERT_NE(b->archive, nullptr);
  ui::SetResourcePackage(a->archive);

  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        std::string text;
        if (!ui::ReadResourcePackageEntry(L"x.txt", text) ||
            (text != std::string(5000, 'a') && text != std::string(5000, 'b'))) {
          ++bad;
        }
      }
    });
  }
  std::thread replacer([&] {
    for (int i = 0; i < 300 && !stop; ++i) ui::SetResourcePackage(i % 2 ? a->archive : b->archive);
  });
  for (std::thread& reader : readers) reader.join();
  stop = true;
  replacer.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
