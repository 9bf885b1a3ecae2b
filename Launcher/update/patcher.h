// Applying a downloaded patch container to an installed file: the streamed
// applier (two buffers of at most 50 MiB whatever the file sizes; the
// default) and the in-memory applier (the whole old and new files in memory),
// each for narrow (ANSI code page) and wide paths. The container and the
// difference format are in patch_core.h.
//
// Files are opened without sharing: the old file and the patch read-only and
// existing, the new file created or truncated. The streamed applier creates
// the new file before it runs and leaves what it wrote when it fails; the
// in-memory applier creates it only after a successful application (and
// removes it again when the write fails). Diagnostics of the in-memory
// applier go to standard output.
//
// Thread rules: the appliers run on the worker thread (thread 1) inside the
// apply state's tick. PatchAbortFlag is set on the UI thread (on exit) and
// cleared when an apply begins; the streamed applier reads it between pieces
// and triples.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "update/patch_core.h"

// Set when the user exits: a streamed application under way stops at its
// next poll with -12.
extern std::atomic<bool> PatchAbortFlag;

// Reads and inflates the container from an open file. 1 on success (`image`
// holds `image_length` bytes), else -1 to -7 as ReadPatchContainerFrom.
[[nodiscard]] int ReadPatchContainer(HANDLE file, std::unique_ptr<uint8_t[]>& image,
                                     int& image_length);

// The streamed applier on open handles: the old file (read from `old_size`
// bytes) and the new file (written from its current position, `new_size`
// bytes). 0, or -6 bad header, -8 diff block beyond the image, -9 extra block
// beyond the image, -10 / -11 a buffer not allocated, -12 stopped (`detail`
// says where: kPatchDetail* of patch_core.h).
[[nodiscard]] int ApplyPatchStreamed(HANDLE old_file, int64_t old_size, HANDLE new_file,
                                     int64_t new_size, const uint8_t* image, int image_length,
                                     int& detail);

// 0 on success; -1 patch file not opened (`detail` = the system error code)
// or container unreadable; -2 bad header; -3 old file not opened; -4 new file
// not created; otherwise the result of ApplyPatchStreamed.
[[nodiscard]] int ApplyPatchFileStreamedA(const std::string& old_path, const std::string& new_path,
                                          const std::string& patch_path, int& detail);
[[nodiscard]] int ApplyPatchFileStreamedW(const std::wstring& old_path,
                                          const std::wstring& new_path,
                                          const std::wstring& patch_path, int& detail);

// 0 when the new file was written in full, -1 on any failure.
[[nodiscard]] int ApplyPatchFileInMemoryA(const std::string& old_path, const std::string& new_path,
                                          const std::string& patch_path);
[[nodiscard]] int ApplyPatchFileInMemoryW(const std::wstring& old_path,
                                          const std::wstring& new_path,
                                          const std::wstring& patch_path);
