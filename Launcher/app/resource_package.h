// Opening of the resource package: the skins, language files, images and
// channel configuration the UI environment reads. A resources.zip beside the
// program takes the place of the package embedded in the program (resource
// 129 of type "RESOURCES"); it is opened through a working copy in the update
// folder, so that a launcher update may replace resources.zip while the
// program runs. The package opened becomes the process-wide package of
// ui/resource_package_handle.h.
//
// Thread rules: the UI thread opens the package (start-up and the package
// reload task). The function itself only touches the files and the
// process-wide holder, whose lock makes it safe from any thread, but two
// openings at once would fight over the working copy.
#pragma once

#include <windows.h>

#include <string>

// Resource id and type of the package embedded in the program.
inline constexpr int kEmbeddedPackageId = 129;
inline constexpr const wchar_t* kEmbeddedPackageType = L"RESOURCES";

// Where the package in force came from.
enum class ResourcePackageSource {
  kNone,      // no package: resources are read from the disk
  kFile,      // resources.zip beside the program, through its working copy
  kEmbedded,  // the package embedded in the program
};

// Seams for tests: the folder that stands for the program's folder and the
// module whose resources hold the embedded package.
struct ResourcePackageLocation {
  std::wstring baseDir = L".";  // the current directory is the program's folder
  HMODULE module = nullptr;     // null: the program itself; must stay loaded
                                // while its package is in force
};

// (Re)opens the package and installs it process-wide; the package in force
// before is closed first (its working copy is overwritten).
// 1. When <baseDir>\resources.zip can be opened for reading, it is copied to
//    <baseDir>\update\tmp_resources.zip (the update folder is made when
//    missing) and the copy is opened.
// 2. Otherwise, or when the copy or its opening fails (a damaged package
//    among others), the embedded package is opened in place.
// 3. When that fails too, no package is installed.
ResourcePackageSource OpenResourcePackage();
ResourcePackageSource OpenResourcePackage(const ResourcePackageLocation& location);
