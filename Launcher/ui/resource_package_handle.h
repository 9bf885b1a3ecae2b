// The process-wide resource package: the one open ZipArchive that the UI
// environment looks its files up in (language files, skins, images, the
// channel configuration). The launcher's package opening installs it; a null
// package means that every resource is read from the disk instead.
//
// Thread rules: the holder is guarded by its own lock, so any thread may set,
// get or read through it. GetResourcePackage hands out a shared reference:
// keep it only for the look-up at hand, because an archive opened from a file
// keeps that file open (and not replaceable) until its last reference goes.
#pragma once

#include <memory>
#include <string>

#include "ui/zip_reader.h"

namespace ui {

// Installs `package` (null: none) and returns the one it replaces.
std::shared_ptr<ZipArchive> SetResourcePackage(std::shared_ptr<ZipArchive> package);

// The package in force, or null.
std::shared_ptr<ZipArchive> GetResourcePackage();

// Drops the package in force; its file is closed once no look-up holds it.
void CloseResourcePackage();

// The name form used inside the package: "\" becomes "/", runs of "/" fold
// into one, and leading "/" and "./" segments are dropped, so
// ".\resources\lang\en.ini" becomes "resources/lang/en.ini".
std::wstring PackageEntryName(const std::wstring& path);

// Reads the whole entry named by `path` (see PackageEntryName) from the
// package in force into `out`. False, with `out` emptied, when there is no
// package, the name is empty, or the entry is missing, refused or damaged.
[[nodiscard]] bool ReadResourcePackageEntry(const std::wstring& path, std::string& out);

}  // namespace ui
