// File and folder functions of the launcher core, the download engine and the
// update engine: the fixed folders beside the program, the default install
// folder, path normalising and splitting, whole-file reads and writes,
// recursive listing, creation and removal of folders, folder tests, and the
// containment checks that guard every write, move or delete of a path built
// from network or file data.
//
// Relative paths mean the launcher's folder, because the entry point makes it
// the current directory. Functions ending in "A" take narrow paths in the
// system's ANSI code page, those ending in "W" wide (UTF-16) paths; each pair
// behaves alike. Names the ANSI code page cannot represent are reachable only
// through the wide forms.
//
// Thread rules: no locks are held and no state is shared beyond the fixed
// folder names, which are made once per process on first use (safely from any
// thread) and never change. Any thread may call any function; two threads
// working on the same files at once get what the file system gives them.
//
// Bad input never crashes: an empty path, a path with an embedded zero
// character, or a path the system cannot take gives a failed result. Paths of
// MAX_PATH characters or more are handed to the system in their extended
// ("\\?\") form, so deep install folders work.
#pragma once

#include <string>
#include <vector>

// ".\save": the launcher's settings and state files.
const std::string& SaveDirA();
const std::wstring& SaveDirW();
// ".\update": downloads and apply lists of the update engine.
const std::wstring& UpdateDir();
// ".\exception": saved server answers that could not be used.
const std::wstring& ExceptionDir();
// ".\update\predownload": files of the next game version.
const std::string& PreDownloadDir();
// The program's own folder followed by "Varnholt Game".
const std::wstring& DefaultInstallDir();

// A copy of `path` with every "/" turned into "\". With `add_separator` a "\"
// is appended unless the path already ends in "\" or "/" (an empty path
// becomes "\"); without it every trailing separator is removed (an empty path
// stays empty).
std::string NormalizeDirA(const std::string& path, bool add_separator);
std::wstring NormalizeDirW(const std::wstring& path, bool add_separator);

// Cuts `path` (with "/" taken as "\") at its last "\": `folder` gets the text
// before it, `name` the text after it. False, with both outputs untouched, for
// an empty path, a path without a separator, or one whose only separator is
// its first character.
bool SplitPathA(const std::string& path, std::string& folder, std::string& name);
bool SplitPathW(const std::wstring& path, std::wstring& folder, std::wstring& name);

// Replaces `text` with the file's bytes, untranslated. False, with `text`
// untouched, when the file cannot be opened or read to its end (a folder, a
// missing file, an empty path).
[[nodiscard]] bool ReadFileTextA(const std::string& path, std::string& text);
[[nodiscard]] bool ReadFileTextW(const std::wstring& path, std::string& text);

// Makes the file hold exactly the bytes of `text`. The bytes go to a
// temporary file beside it that then replaces the old file in one step, so a
// failed or interrupted write never leaves a truncated file behind. True only
// when every byte was written and the file was replaced; the folder must
// exist.
[[nodiscard]] bool WriteFileTextA(const std::string& path, const std::string& text);
[[nodiscard]] bool WriteFileTextW(const std::wstring& path, const std::string& text);

// Creates the folder and its missing parents. True when the folder exists at
// the end (an existing folder counts); false for an empty path, when a
// component is a file, or when a folder cannot be made.
bool MakeDirsA(const std::string& path);
bool MakeDirsW(const std::wstring& path);

// Deletes the folder with everything in it; read-only files and folders are
// made writable first. A junction or symbolic link met inside the tree (or
// given as the path itself) is removed as a link: the tree it points to is
// never entered or changed. True when nothing is left at the path at the end
// (a path where nothing was counts); false for an empty path, a file, a drive
// or share root (which is never emptied), or when something could not be
// removed.
bool RemoveTreeA(const std::string& path);
bool RemoveTreeW(const std::wstring& path);

// Whether the file can be opened for reading now (a folder cannot). The
// update engine asks this before it promotes, deletes or copies its state
// files.
bool OpensForReadingW(const std::wstring& path);

// Whether the path names an existing folder; a relative path is taken against
// the current directory.
bool IsDirA(const std::string& path);
bool IsDirW(const std::wstring& path);

// Appends every file below `folder`, recursively, as folder (with a trailing
// "\") plus its path below it: first the files of a folder in listing order,
// then those of each subfolder in listing order. Subfolders whose name is in
// `skip` (exact, case-sensitive) are left out at any depth, and junctions and
// symbolic links to folders are not entered, so a link can neither lead out of
// the tree nor loop. Returns the number of entries in `out` (those it held
// before included), or -1, with nothing added, when `folder` cannot be listed.
int CollectFiles(const std::string& folder, std::vector<std::string>& out,
                 const std::vector<std::string>& skip);
int CollectFiles(const std::wstring& folder, std::vector<std::wstring>& out,
                 const std::vector<std::wstring>& skip);

// Empties `out` and fills it with the names (no path) of the folder's direct
// subfolders, links to folders included. Returns their number, or -1 when the
// folder cannot be listed.
int ListSubfolders(const std::string& folder, std::vector<std::string>& out);
int ListSubfolders(const std::wstring& folder, std::vector<std::wstring>& out);

// True when `candidate` names something strictly below `root`, judged on the
// text alone (nothing is looked up on disk): after "/" became "\" and runs of
// separators were folded (a leading "\\" stays), `candidate` must begin with
// `root` (compared without regard to case, as Windows compares file names),
// then a separator, then a non-empty relative part whose every segment is a
// plain name: no "." or "..", no ":" (drives, streams), no wildcard or
// control characters, no trailing dot or blank (which Windows strips), and no
// device name such as "CON" or "nul.txt". One trailing separator is allowed.
// `root` itself is trusted and may be relative.
[[nodiscard]] bool PathLiesUnder(const std::wstring& root, const std::wstring& candidate);

// True for a relative path as version maps and patch lists key their files:
// valid UTF-8, "/" separators only, at most 32767 bytes, segments of at most
// 255 characters that are plain names as PathLiesUnder wants them. False for
// an empty or absolute path, a leading "/" or "\", any "\" or ":", an empty
// segment ("a//b", a trailing "/"), "." or "..", control characters, and a
// trailing dot or blank in any segment. It needs no system header (it lives
// in path_rules.cc), so native fuzz targets of the map readers use it as is.
[[nodiscard]] bool IsSafeRelativePath(const std::string& utf8_relative);

// The form of `path` to hand to CreateFileW and the other file calls: the
// path itself while its full form is shorter than MAX_PATH, else its extended
// ("\\?\") full form, so files deep in an install folder stay reachable.
std::wstring SystemPathW(const std::wstring& path);

// Builds `root` + "\" + `utf8_relative` (with "/" turned into "\") into `out`
// when the relative path passes IsSafeRelativePath and the result lies under
// `root`. False, with `out` emptied, otherwise.
[[nodiscard]] bool BuildPathUnder(const std::wstring& root, const std::string& utf8_relative,
                                  std::wstring& out);
