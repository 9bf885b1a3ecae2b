// Lists of relative paths that wait in .\update for the self-updater (browser
// runtime files in cef_update.txt, fonts in font_update.txt). File form: a
// JSON array of strings, tab-indented; an empty list is written as null.
//
// Threads: plain file functions, any thread.
#pragma once

#include <string>
#include <vector>

// Appends the file's strings to paths (which is not emptied first). False
// when the file cannot be read or parsed, or its root is not an array of
// strings.
[[nodiscard]] bool ReadStringListFile(const std::wstring& path, std::vector<std::string>& paths);

// Writes the list (null for an empty one), replacing the file.
[[nodiscard]] bool WriteStringListFile(const std::wstring& path,
                                       const std::vector<std::string>& paths);
