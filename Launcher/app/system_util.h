// Small free helpers that the launcher's parts share: opening web links in the
// system browser, reading JSON, starting processes, splitting texts, free disk
// space, registry values, the UTC clock and game version texts.
//
// Thread rules: the helpers keep no state of their own and lock nothing; any
// thread may call them. The three seams (shell, free space, clock) are
// process-wide pointers that only tests swap, and only while no other thread
// uses the helpers. Relative paths resolve against the current directory,
// which the entry point makes the launcher's folder.
//
// Texts: narrow texts are UTF-8 unless a comment says otherwise; narrow paths
// (the "A" twins) are in the system's ANSI code page, like the file functions.
// Nothing here throws: jsoncpp's and the standard library's exceptions are
// caught and become failed results.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

// ---------------------------------------------------------------------------
// Seams. Each has a real implementation that is used unless a test installs
// another; Set...ForTesting(nullptr) puts the real one back. Each setter
// returns the seam that was in place, so a test can restore it.

// Hands a web address to the system's default handler (the browser).
class ShellOpener {
 public:
  virtual ~ShellOpener() = default;
  // True when the shell accepted the address.
  virtual bool Open(HWND owner, const std::wstring& url) = 0;
};
ShellOpener* SetShellOpenerForTesting(ShellOpener* opener);

// Total and caller-available bytes of a drive, given its root such as "C:\".
class DiskSpaceSource {
 public:
  virtual ~DiskSpaceSource() = default;
  virtual bool Query(const std::wstring& root, uint64_t& total, uint64_t& available) = 0;
};
DiskSpaceSource* SetDiskSpaceSourceForTesting(DiskSpaceSource* source);

// The current time in UTC.
class UtcClock {
 public:
  virtual ~UtcClock() = default;
  virtual SYSTEMTIME Now() = 0;
};
UtcClock* SetUtcClockForTesting(UtcClock* clock);

// ---------------------------------------------------------------------------
// Links.

// True for texts that may go to the browser: "http://" or "https://" (scheme
// in any letter case) followed by at least one character, with no control
// character anywhere. Everything else (file paths, "file://", "javascript:",
// network paths, empty texts) is refused, because the shell would happily run
// or open those.
bool IsWebUrl(const std::string& url);

// Opens `url` (UTF-8) in the system browser through the wide shell call, with
// `owner` (may be null) as the parent of any message the shell shows. Blanks
// and double quotes are sent percent-encoded, so the address can never split
// into several arguments of the browser's command line. Returns false without
// doing anything when IsWebUrl refuses the text, else whether the shell
// accepted it. LauncherManager::OpenUrl (main-window check, link-key lookup)
// ends here; from inside that class call it as ::OpenUrl.
bool OpenUrl(HWND owner, const std::string& url);

// ---------------------------------------------------------------------------
// JSON (jsoncpp, default reader settings: comments and trailing commas allowed,
// a byte-order mark skipped, a later duplicate key winning).

// Searches `object`'s members in ascending name order. A member named `key`
// whose value is not null is copied to `out` and ends the search; a member
// whose value is an array is searched element by element first (each element
// that is an object, recursively, by the same rule), so a match nested in an
// array member whose name sorts earlier wins over a direct member. Members of
// nested objects are never searched. False, `out` unchanged, when nothing
// matches or `object` is not an object.
[[nodiscard]] bool FindJsonMember(const Json::Value& object, const std::string& key,
                                  Json::Value& out);

// Parses `text` into `out`. False for an empty text and for any text the
// reader rejects (broken or binary text, nesting deeper than the reader's
// limit); `error` then says why and `out` is left unchanged. On success
// `error` is empty. The value may be of any type: callers check it.
[[nodiscard]] bool ParseJson(const std::string& text, Json::Value& out, std::string& error);

// Empties `out`, finds `key` with FindJsonMember and collects its text: every
// element of an array in order, or the one value itself. Strings, numbers,
// booleans and null (as an empty text) have a text; an object or an array
// where a text is wanted makes the whole list fail (false, `out` empty).
// True when the list is not empty.
bool ReadJsonStringList(const Json::Value& object, const std::string& key,
                        std::vector<std::string>& out);

// Writes `value` tab-indented (keys in jsoncpp's sorted order) to the file at
// `path` (ANSI code page) through WriteFileTextA, which replaces an existing
// file whole. True only when every byte was written and the file replaced.
bool WriteJsonFile(const std::string& path, const Json::Value& value);

// ---------------------------------------------------------------------------
// Processes.

// The command line LaunchProcess uses: the program, enclosed in double quotes
// when it contains a blank or a tab (unless the caller quoted it already), then
// one blank and the arguments when there are any. False, `out` untouched, for
// an empty program, a zero character in either text, or a double quote in the
// program other than a pair that encloses it whole (no file name contains one).
// No length limit is imposed here; the system refuses lines over 32767
// characters.
bool BuildCommandLine(const std::wstring& program, const std::wstring& arguments,
                      std::wstring& out);

// Starts `program` with `arguments`, shown normally, in `folder` (the caller's
// current directory when empty), without inherited handles. Does not wait for
// the process. True when the process started.
bool LaunchProcess(const std::wstring& program, const std::wstring& arguments,
                   const std::wstring& folder);

// ---------------------------------------------------------------------------
// Texts.

// Cuts `text` at every occurrence of `delimiter`; empty pieces between
// occurrences count, but nothing is added after an occurrence that ends the
// text ("a__b" gives a, "", b; "a_b_" gives a, b; "_a" gives "", a). `out` is
// emptied first; an empty text or delimiter gives no piece. Returns the count.
size_t SplitA(const std::string& text, const std::string& delimiter, std::vector<std::string>& out);
size_t SplitW(const std::wstring& text, const std::wstring& delimiter,
              std::vector<std::wstring>& out);

// "hh:mm:ss" of `seconds` (hours keep as many digits as they need: 360000 s is
// "100:00:00"). The buffer form writes into `buffer` of `length` characters and
// returns the character count without the terminator, or -1 (with an empty
// text when `length` > 0) when the buffer is null or too small.
int FormatDuration(unsigned seconds, wchar_t* buffer, size_t length);
std::wstring FormatDuration(unsigned seconds);

// Game versions: three decimal integers joined by "_", such as "1_2_3".
// Sets all three outputs to 0, then reads the pieces; the outputs come in the
// order in which versions are compared (first, third, second). Each piece must
// be one or more ASCII digits with a value that fits an int: no sign, no blank,
// no empty piece, exactly two "_". Anything else returns false with all three
// outputs 0.
[[nodiscard]] bool ParseVersionTriple(const std::string& text, int& first, int& third, int& second);

// ---------------------------------------------------------------------------
// Disk and clock.

// The drive part of `path` made full (against the current directory when
// relative): the text before its first ":" ("C" for "C:\Games"), or an empty
// text when there is no ":" after the first character (network paths) or the
// path cannot be made full.
std::wstring DriveLetterOf(const std::wstring& path);

// Space of the drive that holds `path` (made full when relative): the drive's
// total bytes and the bytes the calling user may still use. False when the
// path names no drive letter (network paths, empty paths) or the system cannot
// tell. The narrow form takes an ANSI code-page path.
[[nodiscard]] bool DiskFreeW(const std::wstring& path, uint64_t& total, uint64_t& available);
[[nodiscard]] bool DiskFreeA(const std::string& path, uint64_t& total, uint64_t& available);

// The current UTC date as "yyyy-mm-dd" and time as "hh:mm:ss". Always true.
bool GetUtcDateTime(std::string& date, std::string& time);

// ---------------------------------------------------------------------------
// Registry.

// Reads a string value (REG_SZ, or REG_EXPAND_SZ taken as stored, unexpanded)
// of any length. The text ends where the returned data size ends, or at an
// earlier zero character: the data is never trusted to carry a terminator.
// `view` adds KEY_WOW64_64KEY or KEY_WOW64_32KEY, or 0 for the process's own
// view. False, `out` untouched, for a missing key or value or another type.
[[nodiscard]] bool ReadRegistryString(HKEY root, const std::wstring& key, const std::wstring& name,
                                      REGSAM view, std::wstring& out);

// Reads a REG_DWORD value of exactly four bytes. False, `out` untouched,
// otherwise.
[[nodiscard]] bool ReadRegistryDword(HKEY root, const std::wstring& key, const std::wstring& name,
                                     REGSAM view, DWORD& out);

// Makes sure the REG_SZ value `name` holds `text`, under `first_key` or, when
// that key cannot be opened, `second_key` (ignored when empty). Keys are
// opened without a view flag: callers name "WOW6432Node" where they want the
// 32-bit view. Returns 0 when the value already holds exactly `text` as a
// REG_SZ (nothing is written), 1 when it was written, -1 when no key could be
// opened for writing, the write failed, or `text` holds a zero character
// (which a REG_SZ cannot keep). The short form works under HKEY_LOCAL_MACHINE.
int RegistryString(HKEY root, const std::wstring& first_key, const std::wstring& second_key,
                   const std::wstring& name, const std::wstring& text);
int RegistryString(const std::wstring& first_key, const std::wstring& second_key,
                   const std::wstring& name, const std::wstring& text);

// A string value under HKEY_LOCAL_MACHINE in the 64-bit view, as UTF-8; an
// empty text when it cannot be read. `name` is UTF-8.
std::string RegReadHklmString(const std::wstring& key, const std::string& name);

// A REG_DWORD value under HKEY_LOCAL_MACHINE in the 64-bit view, as unsigned
// decimal text; "0" when it cannot be read.
std::string RegReadHklmDword(const std::wstring& key, const std::string& name);

// "major.minor.build" of the running Windows from its CurrentVersion key;
// a system without the two numbers gives "0.0." and the build.
std::string GetWindowsVersion();

// The processor's name as the system records it, or an empty text.
std::string GetProcessorName();

// ---------------------------------------------------------------------------
// Files.

// Reads `count` bytes from `file` into a new buffer of count + 1 bytes whose
// last byte is zero. On success stores `count` in `*size` (when not null) and
// returns the buffer; null when the handle is invalid, `count` exceeds
// INT_MAX, memory runs out or fewer than `count` bytes could be read. The
// handle is closed in every case (when valid).
std::unique_ptr<uint8_t[]> ReadHandleAll(HANDLE file, uint32_t count, int* size);
