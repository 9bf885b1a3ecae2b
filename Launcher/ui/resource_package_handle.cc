#include "ui/resource_package_handle.h"

#include <utility>

#include "base/lock.h"

namespace ui {

namespace {

struct Holder {
  nbase::Lock lock;
  std::shared_ptr<ZipArchive> package;
};

// Made on first use and never destroyed, so a look-up during process exit
// cannot meet a destroyed lock.
Holder& TheHolder() {
  static Holder* holder = new Holder();
  return *holder;
}

}  // namespace

std::shared_ptr<ZipArchive> SetResourcePackage(std::shared_ptr<ZipArchive> package) {
  Holder& holder = TheHolder();
  std::shared_ptr<ZipArchive> previous;
  {
    nbase::AutoLock hold(holder.lock);
    previous = std::move(holder.package);
    holder.package = std::move(package);
  }
  return previous;
}

std::shared_ptr<ZipArchive> GetResourcePackage() {
  Holder& holder = TheHolder();
  nbase::AutoLock hold(holder.lock);
  return holder.package;
}

void CloseResourcePackage() {
  // The old package is released outside the holder's lock.
  std::shared_ptr<ZipArchive> previous = SetResourcePackage(nullptr);
  previous.reset();
}

std::wstring PackageEntryName(const std::wstring& path) {
  std::wstring name;
  name.reserve(path.size());
  for (wchar_t c : path) {
    wchar_t d = c == L'\\' ? L'/' : c;
    if (d == L'/' && !name.empty() && name.back() == L'/') continue;
    name.push_back(d);
  }
  for (;;) {
    if (!name.empty() && name[0] == L'/') {
      name.erase(0, 1);
    } else if (name.size() >= 2 && name[0] == L'.' && name[1] == L'/') {
      name.erase(0, 2);
    } else {
      break;
    }
  }
  return name;
}

bool ReadResourcePackageEntry(const std::wstring& path, std::string& out) {
  out.clear();
  std::shared_ptr<ZipArchive> package = GetResourcePackage();
  if (package == nullptr) return false;
  std::wstring name = PackageEntryName(path);
  if (name.empty()) return false;
  return package->ReadEntry(name, out) == kZipOk;
}

}  // namespace ui
