#include "test_process.h"

#include <vector>

namespace testsupport {

namespace {
std::wstring Quote(const std::wstring& s) { return L"\"" + s + L"\""; }
}  // namespace

bool StartWithNullStdHandles(const std::wstring& program, const std::wstring& command_line,
                             const std::wstring& working_dir, PROCESS_INFORMATION& info) {
  std::vector<wchar_t> buffer(command_line.begin(), command_line.end());
  buffer.push_back(L'\0');
  SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE null_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
  HANDLE null_out = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = null_in;
  si.hStdOutput = null_out;
  si.hStdError = null_out;
  info = PROCESS_INFORMATION();
  const BOOL created = CreateProcessW(
      program.empty() ? nullptr : program.c_str(), buffer.data(), nullptr, nullptr, TRUE, 0,
      nullptr, working_dir.empty() ? nullptr : working_dir.c_str(), &si, &info);
  if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
  if (null_out != INVALID_HANDLE_VALUE) CloseHandle(null_out);
  return created != FALSE;
}

TestProcess::TestProcess(const std::wstring& program, const std::wstring& arguments,
                         const std::wstring& working_dir) {
  std::wstring line = Quote(program);
  if (!arguments.empty()) line += L" " + arguments;
  PROCESS_INFORMATION pi;
  if (StartWithNullStdHandles(program, line, working_dir, pi)) {
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
    pid_ = pi.dwProcessId;
  }
}

TestProcess::~TestProcess() {
  if (!process_) return;
  if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) Kill();
  CloseHandle(process_);
}

bool TestProcess::WaitForExit(DWORD timeout_ms, DWORD* exit_code) {
  if (!process_) return false;
  if (WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0) return false;
  if (exit_code) GetExitCodeProcess(process_, exit_code);
  return true;
}

void TestProcess::Kill() {
  if (!process_) return;
  TerminateProcess(process_, 99);
  WaitForSingleObject(process_, 10000);
}

std::wstring BuiltLauncherPath() {
  // Test programs live in <build>\tests\<subsystem>\; launcher.exe in <build>.
  wchar_t self[MAX_PATH * 4] = {};
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  std::wstring path(self, n);
  for (int i = 0; i < 3; ++i) path.erase(path.find_last_of(L"\\/"));
  return path + L"\\launcher.exe";
}

bool FileExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

std::string ReadWholeFile(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::string out;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) out.append(buffer, got);
  CloseHandle(file);
  return out;
}

}  // namespace testsupport

namespace testsupport {
std::wstring BuiltTestTool(const wchar_t* name) {
  std::wstring launcher = BuiltLauncherPath();
  return launcher.substr(0, launcher.find_last_of(L"\\/")) + L"\\tests\\" + name;
}
}  // namespace testsupport
