// Starting and watching real processes from tests (the launcher itself, a
// second instance, the updater). Every process a test starts is ended by the
// time its handle is destroyed, so no test leaves one behind.
#pragma once

#include <windows.h>

#include <string>

namespace testsupport {

// Starts a process with the null device as its standard handles: under Wine
// a child (and whatever it starts) would otherwise share the test's output
// pipe, and CTest waits for that pipe to close long after the test has ended.
// `program` may be empty (the first token of `command_line` then names it).
// False when nothing was started; otherwise `info` holds both handles.
bool StartWithNullStdHandles(const std::wstring& program, const std::wstring& command_line,
                             const std::wstring& working_dir, PROCESS_INFORMATION& info);

class TestProcess {
 public:
  // Starts program with arguments (a command-line tail) in working_dir
  // (empty: the test's folder). Check started().
  TestProcess(const std::wstring& program, const std::wstring& arguments,
              const std::wstring& working_dir = std::wstring());
  ~TestProcess();
  TestProcess(const TestProcess&) = delete;
  TestProcess& operator=(const TestProcess&) = delete;

  bool started() const { return process_ != nullptr; }
  DWORD pid() const { return pid_; }

  // Waits up to timeout_ms for the process to end; true with its exit code.
  bool WaitForExit(DWORD timeout_ms, DWORD* exit_code = nullptr);

  void Kill();

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
};

// Polls predicate every 20 ms until it holds or timeout_ms passes.
template <typename Predicate>
bool WaitUntil(Predicate predicate, DWORD timeout_ms) {
  const ULONGLONG end = GetTickCount64() + timeout_ms;
  for (;;) {
    if (predicate()) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(20);
  }
}

// The launcher.exe of this build (beside the test folder tree of the build).
std::wstring BuiltLauncherPath();

bool FileExists(const std::wstring& path);
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);
std::string ReadWholeFile(const std::wstring& path);

}  // namespace testsupport

namespace testsupport {
// A helper program built beside the test programs (for example fake_game.exe).
std::wstring BuiltTestTool(const wchar_t* name);
}  // namespace testsupport
