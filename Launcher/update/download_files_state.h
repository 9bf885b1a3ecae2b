// Fetches the files of the current check into .\update: every file of the
// update map whole, or its patch when the patch list has one, taking over
// first what a pre-download of the same version has already fetched, and
// waits until the download engine has reported every queued file done. A
// game fetch first probes the patch suffix (VEXA.exe.patch present: ".patch",
// absent: ".qvdiff").
//
// A path whose patch could not give the published file (the applier failed,
// or its result had another md5) is marked to be fetched whole: the next
// fetch of that mode takes it whole and drops it from the patch map, so the
// apply uses the whole file too and a retry cannot fail on the same patch
// again.
//
// Threads: worker (thread 1) only; the engine calls back on the worker
// (inside CheckFile, or inside its poll for files). The marks are worker-only
// as well.
#pragma once

#include <cstdint>
#include <string>

#include "update/state.h"

class DownloadFilesState : public State {
 public:
  explicit DownloadFilesState(UpdateMode mode) : State(mode) {}

  int TypeId() const override { return kStateDownloadFiles; }
  void Enter(State* previous) override;
  void Update() override;
  void Exit(State* next) override;
  void OnFileDone(int code, const std::string& url, const std::string& error) override;
  void OnFileCheck(int code, const std::string& url, bool exists,
                   const std::string& error) override;

  int queued_count() const { return queued_count_; }
  int done_count() const { return done_count_; }
  // Bytes handed to the engine (files taken from a pre-download not counted).
  int64_t queued_bytes() const { return queued_bytes_; }
  int taken_count() const { return taken_count_; }

 private:
  void StartDownloads();
  void Fail(int code, const std::string& text, const std::string& detail);

  bool started_ = false;
  int queued_count_ = 0;
  int done_count_ = 0;
  int taken_count_ = 0;
  int64_t queued_bytes_ = 0;
};

// Takes a file that a pre-download fetched (named by its md5 in `pre`) over
// as `update`\`relative` (UTF-8, "/" separators). True when the file is now
// complete there and must not be downloaded. A finished pre-downloaded file
// is taken only when its content matches `md5`; an unfinished one is moved
// with its resume file so the engine goes on with it; a move that fails falls
// back to a copy. With `keep_source` (another path of the update lists the
// same content) a finished file is copied and an unfinished one left where
// it is. False, with nothing moved, for a relative path or md5 that could
// lead out of the folders.
[[nodiscard]] bool TakePreDownloadedFile(const std::wstring& pre, const std::wstring& update,
                                         const std::string& relative, const std::string& md5,
                                         bool keep_source = false);

// The whole-file marks (see the header comment).
void MarkFetchWhole(UpdateMode mode, const std::string& path);
bool IsMarkedFetchWhole(UpdateMode mode, const std::string& path);
void ClearFetchWholeMarks();
