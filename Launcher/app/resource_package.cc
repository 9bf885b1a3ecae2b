#include "app/resource_package.h"

#include <memory>

#include "app/file_util.h"
#include "ui/resource_package_handle.h"
#include "ui/zip_reader.h"

namespace {

bool CanOpenForReading(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

std::unique_ptr<ui::ZipArchive> OpenPackageFile(const std::wstring& base) {
  std::wstring package = base + L"resources.zip";
  if (!CanOpenForReading(package)) return nullptr;
  // The working copy is overwritten below; the package in force may be that
  // very copy and must let go of it first.
  ui::CloseResourcePackage();
  std::wstring update_dir = base + L"update";
  // Without its folder the copy would fail and a present package be ignored.
  if (!MakeDirsW(update_dir)) return nullptr;
  std::wstring copy = update_dir + L"\\tmp_resources.zip";
  if (!CopyFileW(package.c_str(), copy.c_str(), FALSE)) return nullptr;
  return ui::ZipArchive::OpenFile(copy);
}

std::unique_ptr<ui::ZipArchive> OpenEmbeddedPackage(HMODULE module) {
  if (module == nullptr) module = GetModuleHandleW(nullptr);
  HRSRC info = FindResourceW(module, MAKEINTRESOURCEW(kEmbeddedPackageId), kEmbeddedPackageType);
  if (info == nullptr) return nullptr;
  HGLOBAL loaded = LoadResource(module, info);
  if (loaded == nullptr) return nullptr;
  const void* data = LockResource(loaded);
  DWORD size = SizeofResource(module, info);
  if (data == nullptr || size == 0) return nullptr;
  // Resource memory lives as long as the module, which outlives the package.
  return ui::ZipArchive::OpenMemory(data, size);
}

}  // namespace

ResourcePackageSource OpenResourcePackage() {
  return OpenResourcePackage(ResourcePackageLocation());
}

ResourcePackageSource OpenResourcePackage(const ResourcePackageLocation& location) {
  std::wstring base = NormalizeDirW(location.baseDir, true);
  std::unique_ptr<ui::ZipArchive> package = OpenPackageFile(base);
  if (package != nullptr) {
    ui::SetResourcePackage(std::move(package));
    return ResourcePackageSource::kFile;
  }
  ui::CloseResourcePackage();
  package = OpenEmbeddedPackage(location.module);
  if (package != nullptr) {
    ui::SetResourcePackage(std::move(package));
    return ResourcePackageSource::kEmbedded;
  }
  return ResourcePackageSource::kNone;
}
