// Path helpers: the program's own module and folder, splitting paths into
// components and creating directory trees.
//
// Thread rules: the functions keep no state and may be called from any thread.
// Relative paths resolve against the process's current directory, which any
// thread can change; pass absolute paths when other threads might do so.
#pragma once

#include <windows.h>

#include <list>
#include <string>

namespace PathHelpers {

// The module whose code this is: the program itself when the base library is
// linked into it, or the DLL that contains it. Falls back to the process's
// main module (what a null handle means to the module functions) if the
// system cannot tell.
HMODULE CurrentModuleHandle();

// The full file name of `module` (null: the program's file). Paths longer than
// MAX_PATH are returned whole, never cut short. An empty string means the
// system could not name the module (for example an unknown handle).
std::wstring ModuleFileName(HMODULE module);

// Sets `out` to `path` up to and including its last "\" or "/"; a path that
// ends with a separator is returned whole. Returns false, with `out` emptied,
// when there is no directory to take: an empty or one-character path, no
// separator, or only one at the very start ("\x").
bool DirectoryPart(const std::wstring& path, std::wstring& out);

// The folder of CurrentModuleHandle(), with a trailing separator; ".\" when
// it cannot be found.
std::wstring CurrentModuleDirectory();

// Splits `path` into its components. `out` is emptied first. Each run of
// characters other than "\" and "/" is one component; when a separator follows
// it, one "\" is appended (so "C:/games//x\y" gives "C:\", "games\", "x\",
// "y"). A path that starts with a separator gets "\" as its first component;
// runs of separators count as one. Returns false for a null path, true
// otherwise (an empty path gives no component).
bool SplitComponents(const wchar_t* path, std::list<std::wstring>& out);

// Creates the directory `path` names and any missing parent directories.
// Returns true when the whole path is a directory in the end (already existing
// counts, and one made by another process at the same moment counts too).
// Returns false for a null or empty path, when a component exists but is not
// a directory, or when a directory cannot be created; directories made before
// such a failure are left in place.
// A path that starts with two separators ("\\server\share\..." or
// "\\?\C:\...") keeps its prefix up to the second component after them as its
// root, which is never created, only checked.
bool CreateDirectories(const wchar_t* path);

}  // namespace PathHelpers
