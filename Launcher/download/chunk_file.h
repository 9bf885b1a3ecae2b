// The pieces of a chunked download that live on disk: how a file is cut into
// 32 MiB chunks, the resume file beside it (the file's name with ".cfg"
// appended) that lists the byte ranges still missing, and the checks that a
// local path is safe to write before the engine creates, cuts or deletes it.
//
// Resume file format (JSON, tab-indented, keys sorted):
//   {"infoList": [{"begin": int, "end": int, "index": int}, ...], "md5": "..."}
// A range whose "end" is below its "begin" is complete and skipped when read.
//
// Thread rules: plain functions; the engine calls them on the worker thread.
// Narrow paths are in the ANSI code page, like the launcher's other "A" file
// functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// 32 MiB.
constexpr int kChunkSize = 33554432;

// The md5 of no data: the only md5 a file of size 0 can have.
constexpr char kEmptyMd5[] = "d41d8cd98f00b204e9800998ecf8427e";

struct ChunkRange {
  int index = 0;
  int begin = 0;
  int end = 0;  // inclusive
};
using ChunkList = std::vector<ChunkRange>;

// Chunk k of a file of `size` bytes is [k * kChunkSize, min((k + 1) *
// kChunkSize, size) - 1]; no empty last chunk. Empty for a size of 0 or less.
ChunkList CutIntoChunks(int size);

// True when every range is open (begin <= end) and lies inside its own chunk
// of a file of `size` bytes, and no chunk index repeats.
bool RangesFitFile(const ChunkList& ranges, int size);

// localFile + ".cfg".
std::string ResumeFilePath(const std::string& localFile);

// Reads the resume file of `localFile`. Missing or not JSON: false, nothing
// deleted. With "md5" equal to `md5` and "infoList" an array, every element
// with integer "index", "begin" and "end" and end >= begin goes to `out`; a
// non-empty list gives true. Every other case deletes the local file and the
// resume file and gives false.
bool ReadResumeFile(const std::string& localFile, const std::string& md5, ChunkList& out);

// Writes the resume file (its folder made when missing). A resume file that
// may exist is replaced through a temporary file, so a process killed in the
// middle never leaves a cut-off one behind. With `fresh` (no resume file
// exists yet) it is written directly: a cut-off first write reads as no
// resume file, and the next run simply starts over. False when it could not
// be written.
bool WriteResumeFile(const std::string& localFile, const std::string& md5, const ChunkList& ranges,
                     bool fresh = false);

// True when the resume file exists, is JSON and its "md5" is the string `md5`.
// Nothing is deleted.
bool ResumeFileMatchesMd5(const std::string& localFile, const std::string& md5);

// The UTF-16 form of an ANSI code-page path.
std::wstring WidePath(const std::string& path);

// True for a local path the engine may write: a drive path ("C:\..."), a
// network path ("\\server\share\...") or a path relative to the launcher
// folder, whose every part below that root is a plain name (no "." or "..",
// no stream or device name, no wildcard or control character, no trailing dot
// or blank), checked with PathLiesUnder.
bool IsWritableLocalPath(const std::string& localFile);

// Makes the file exist with at most `size` bytes: created empty when missing
// (its folder made first), cut to `size` when longer. `existed` and
// `sizeBefore` (when given) tell what was there. False when it cannot be
// opened or cut.
bool CutFileToSize(const std::string& localFile, int64_t size, bool* existed = nullptr,
                   int64_t* sizeBefore = nullptr);

// Deletes the file when it exists; true when nothing is left at the path.
bool DeleteFileIfPresent(const std::string& localFile);
