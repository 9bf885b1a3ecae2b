// The two command-line modes that turn the launcher into the tool producing
// the version maps the servers publish: make_version writes
// launcher_version_map.txt (the launcher, its resource package, its fonts and
// the cef folder) and make_dependence_version writes
// dependence_version_map.txt (the dependence folder), both in the current
// directory.
//
// Threads: run alone in their own process, on the main thread.
#pragma once

#include <string>

// False (with a message on standard error) when the map could not be written
// or a file could not be described (2 GiB or larger).
[[nodiscard]] bool WriteLauncherVersionMap(const std::wstring& version);
[[nodiscard]] bool WriteDependenceVersionMap(const std::wstring& version);
