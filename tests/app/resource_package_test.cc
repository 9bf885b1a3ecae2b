#include "app/resource_package.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/path_helpers.h"
#include "test_dir.h"
#include "ui/resource_package_handle.h"
#include "ui/zip_test_util.h"

namespace {

using testsupport::TestDir;

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string PackageText(const wchar_t* path = L"resources\\which.txt") {
  std::string text;
  if (!ui::ReadResourcePackageEntry(path, text)) return "<none>";
  return text;
}

bool WritePackage(const std::wstring& path, const std::string& which) {
  return ziptest::WriteZip(path, {ziptest::File("resources/which.txt", which),
                                  ziptest::File("resources/lang/en.ini", "STRING_X = x\n")});
}

// A program file that carries a package as its resource 129 of type
// RESOURCES, the way launcher.exe does, loaded as data.
class Carrier {
 public:
  explicit Carrier(const std::string& which) {
    std::wstring self = PathHelpers::ModuleFileName(nullptr);
    path_ = TestDir() + L"carrier.exe";
    if (!CopyFileW(self.c_str(), path_.c_str(), FALSE)) return;
    std::string zip = ziptest::MakeZip(TestDir() + L"embedded.zip",
                                       {ziptest::File("resources/which.txt", which)});
    HANDLE update = BeginUpdateResourceW(path_.c_str(), FALSE);
    if (update == nullptr) return;
    BOOL added = UpdateResourceW(update, kEmbeddedPackageType, MAKEINTRESOURCEW(kEmbeddedPackageId),
                                 MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), &zip[0],
                                 static_cast<DWORD>(zip.size()));
    if (!EndUpdateResourceW(update, added ? FALSE : TRUE) || !added) return;
    module_ = LoadLibraryExW(path_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  }
  ~Carrier() {
    // The package reads the module's memory in place.
    ui::CloseResourcePackage();
    if (module_ != nullptr) FreeLibrary(module_);
  }
  Carrier(const Carrier&) = delete;
  Carrier& operator=(const Carrier&) = delete;

  HMODULE module() const { return module_; }

 private:
  std::wstring path_;
  HMODULE module_ = nullptr;
};

class ResourcePackageTest : public ::testing::Test {
 protected:
  void TearDown() override { ui::CloseResourcePackage(); }

  ResourcePackageLocation Location(const Carrier& carrier) {
    ResourcePackageLocation location;
    location.baseDir = base_;
    location.module = carrier.module();
    return location;
  }

  std::wstring base_ = TestDir() + L"launcher";
};

TEST_F(ResourcePackageTest, PackageBesideTheProgramIsUsedThroughItsWorkingCopy) {
  Carrier carrier("embedded");
  ASSERT_NE(carrier.module(), nullptr);
  ASSERT_TRUE(CreateDirectoryW(base_.c_str(), nullptr));
  ASSERT_TRUE(WritePackage(base_ + L"\\resources.zip", "file one"));
  ASSERT_FALSE(Exists(base_ + L"\\update"));

  // No update folder yet: it is made rather than the package ignored.
  EXPECT_EQ(OpenResourcePackage(Location(carrier)), ResourcePackageSource::kFile);
  EXPECT_TRUE(Exists(base_ + L"\\update\\tmp_resources.zip"));
  EXPECT_EQ(PackageText(), "file one");
  EXPECT_EQ(PackageText(L"resources\\lang\\en.ini"), "STRING_X = x\n");

  // The package itself stays free: an update may replace it meanwhile.
  ASSERT_TRUE(DeleteFileW((base_ + L"\\resources.zip").c_str()));
  ASSERT_TRUE(WritePackage(base_ + L"\\resources.zip", "file two"));
  EXPECT_EQ(PackageText(), "file one");

  // A reload lets go of the working copy before overwriting it.
  EXPECT_EQ(OpenResourcePackage(Location(carrier)), ResourcePackageSource::kFile);
  EXPECT_EQ(PackageText(), "file two");
}

TEST_F(ResourcePackageTest, EmbeddedPackageWhenNoUsableFile) {
  struct Case {
    const char* what;
    std::function<void(const std::wstring& base)> arrange;
  };
  const std::vector<Case> cases = {
      {"no file", [](const std::wstring&) {}},
      {"damaged file",
       [](const std::wstring& base) {
         ASSERT_TRUE(ziptest::WriteAll(base + L"\\resources.zip", "PK\x03\x04 not really"));
       }},
      {"empty file",
       [](const std::wstring& base) {
         ASSERT_TRUE(ziptest::WriteAll(base + L"\\resources.zip", ""));
       }},
      {"a folder of that name",
       [](const std::wstring& base) {
         ASSERT_TRUE(CreateDirectoryW((base + L"\\resources.zip").c_str(), nullptr));
       }},
      {"update is a file",
       [](const std::wstring& base) {
         ASSERT_TRUE(WritePackage(base + L"\\resources.zip", "file"));
         ASSERT_TRUE(ziptest::WriteAll(base + L"\\update", "not a folder"));
       }},
  };
  Carrier carrier("embedded");
  ASSERT_NE(carrier.module(), nullptr);
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    base_ = TestDir() + L"launcher" + std::to_wstring(i);
    ASSERT_TRUE(CreateDirectoryW(base_.c_str(), nullptr));
    cases[i].arrange(base_);
    EXPECT_EQ(OpenResourcePackage(Location(carrier)), ResourcePackageSource::kEmbedded);
    EXPECT_EQ(PackageText(), "embedded");
  }
}

TEST_F(ResourcePackageTest, PackageHeldOpenByAnotherProgramIsPassedOver) {
  Carrier carrier("embedded");
  ASSERT_NE(carrier.module(), nullptr);
  ASSERT_TRUE(CreateDirectoryW(base_.c_str(), nullptr));
  ASSERT_TRUE(WritePackage(base_ + L"\\resources.zip", "file"));
  HANDLE exclusive = CreateFileW((base_ + L"\\resources.zip").c_str(), GENERIC_READ, 0, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenResourcePackage(Location(carrier)), ResourcePackageSource::kEmbedded);
  EXPECT_EQ(PackageText(), "embedded");
  CloseHandle(exclusive);
  EXPECT_EQ(OpenResourcePackage(Location(carrier)), ResourcePackageSource::kFile);
  EXPECT_EQ(PackageText(), "file");
}

TEST_F(ResourcePackageTest, NoPackageAtAllLeavesTheDisk) {
  ASSERT_TRUE(CreateDirectoryW(base_.c_str(), nullptr));
  // An earlier package is dropped even when nothing replaces it.
  std::string bytes = ziptest::MakeZip(TestDir() + L"old.zip", {ziptest::File("a", "old")});
  ui::SetResourcePackage(ui::ZipArchive::OpenMemory(bytes.data(), bytes.size()));
  ASSERT_NE(ui::GetResourcePackage(), nullptr);

  ResourcePackageLocation location;
  location.baseDir = base_;
  location.module = GetModuleHandleW(nullptr);  // this test program embeds no package
  EXPECT_EQ(OpenResourcePackage(location), ResourcePackageSource::kNone);
  EXPECT_EQ(ui::GetResourcePackage(), nullptr);
}

TEST_F(ResourcePackageTest, DefaultsAreTheCurrentFolderAndTheProgram) {
  // The current directory is the test's folder, standing in for the
  // launcher's folder; the program itself embeds no package.
  EXPECT_EQ(OpenResourcePackage(), ResourcePackageSource::kNone);
  ASSERT_TRUE(WritePackage(TestDir() + L"resources.zip", "beside"));
  EXPECT_EQ(OpenResourcePackage(), ResourcePackageSource::kFile);
  EXPECT_TRUE(Exists(TestDir() + L"update\\tmp_resources.zip"));
  EXPECT_EQ(PackageText(), "beside");
}

}  // namespace
