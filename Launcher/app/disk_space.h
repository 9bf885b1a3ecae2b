// Free-space checks before downloads: the drive of the game folder and the
// drive of the launcher's own folder (where downloads are staged in .\update)
// must each have 4 GiB available to the user. Too little space asks the user
// in a message box whether to go on; space that cannot be found at all (a
// network path, a drive that does not exist, a denied query) is reported and
// the download goes on.
//
// Threads: the checks run on their caller's thread (the update check on the
// worker, the install check on the UI thread). They keep no state, read the
// settings through the LauncherManager's locked copy and only post dialog
// requests; the boxes appear later on the UI thread and the checks return
// before the user answers. Free space is read with DiskFreeW, whose
// DiskSpaceSource seam (system_util.h) tests replace.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/dialog_requests.h"

// Bytes that must be available to the user on each drive; exactly this much
// passes.
inline constexpr uint64_t kRequiredFreeSpace = 0x100000000ULL;

// The amount named in the boxes: " 4.00G" (the "%5.2fG" form of 4.0 GiB). It
// does not depend on the size of the update.
std::wstring RequiredSpaceText();

// Language texts come from translators and are never used as a printf
// format: this puts `value` in place of the first "%s" or "%ls" of `text`
// and reads "%%" as "%", the two things a printf would have done with such a
// text. Every other "%" stays as it stands, and a text without placeholder
// comes back unchanged, so no translation can crash the program.
std::wstring SubstitutePlaceholder(const std::wstring& text, const std::wstring& value);

// What the checks need from the rest of the launcher. Each member has a
// working default (MakeDiskSpaceEnv); tests replace them.
struct DiskSpaceEnv {
  // The text of a language id.
  std::function<std::wstring(const std::wstring& id)> text_of;
  // A message box of language ids, no owner (the main window), no style swap,
  // as LauncherManager::RequestMessageBox asks for it (it sets the
  // message-box flags). result may be empty.
  std::function<void(const std::wstring& title_id, const std::wstring& content_id,
                     const std::wstring& first_button_id, const std::wstring& second_button_id,
                     ModalResultCallback result)>
      request_box;
  // A message box whose content is a plain text, as
  // LauncherManager::RequestMessageBoxEx asks for it (no flags set).
  std::function<void(const std::wstring& title_id, const std::wstring& content_text,
                     const std::wstring& first_button_id, const std::wstring& second_button_id,
                     ModalResultCallback result)>
      request_text_box;
  // The game's install folder (the settings' gamePath).
  std::function<std::wstring()> game_folder;
  // The program's own full path.
  std::function<std::wstring()> module_path;
};

// The launcher's own wiring: the LauncherManager's settings and message-box
// requests and the program path. text_of is given by the caller (the
// language strings of the UI framework); an empty one answers each id with
// the id itself.
DiskSpaceEnv MakeDiskSpaceEnv(std::function<std::wstring(const std::wstring& id)> text_of);

// The full path of the running program (any length), or an empty text.
std::wstring CurrentModulePath();

// Checks the drive of `path` (made full against the current folder when
// relative). True when at least kRequiredFreeSpace is available, and also
// when the space cannot be found (after asking for the notice
// "STRING_ERROR_INVALID_DISKSPACE"); result is then dropped uncalled. False
// after asking for a box with `content` as plain text and the two button ids,
// whose answer goes to result.
[[nodiscard]] bool CheckFreeSpace(const DiskSpaceEnv& env, const std::wstring& path,
                                  const std::wstring& content, const std::wstring& first_button_id,
                                  const std::wstring& second_button_id,
                                  const ModalResultCallback& result);

// Before a game update: the game drive, then (only when it passed) the
// launcher drive, each with "STRING_ERROR_NEED_DISKSPACE_R" naming that drive
// ({p1}) and the amount ({p2}), buttons "STRING_CANCEL" (btn_no) and
// "STRING_DOWNLOAD_CONTINUE" (btn_yes).
[[nodiscard]] bool CheckUpdateSpace(const DiskSpaceEnv& env, const ModalResultCallback& result);

// Before a first install: the same two drives with
// "STRING_ERROR_NEED_DISKSPACE" (its placeholder takes the amount) and the
// one button "STRING_CONFIRM".
[[nodiscard]] bool CheckInstallSpace(const DiskSpaceEnv& env, const ModalResultCallback& result);
