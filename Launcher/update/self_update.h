// The self-update hand-off. A running program cannot overwrite itself, its
// browser runtime or loaded fonts, so the launcher copies itself to
// launcher_temp.exe and starts that copy in the "replace" mode, which waits
// for the launcher to let go of its files, moves the new files into place,
// optionally starts the launcher again and deletes itself.
//
// Threads: StartSelfUpdate runs on the UI thread at exit (or after a confirmed
// restart); the replace mode is a process of its own with only the main
// thread.
#pragma once

#include <string>

// Copies .\launcher.exe to .\launcher_temp.exe and starts it in the replace
// mode: with new_exe the new program is .\update\launcher.exe and the old one
// .\launcher.exe, else both are empty; run_after is started once done (empty:
// nothing). False when the updater could not be started.
bool StartSelfUpdate(const std::wstring& run_after, bool new_exe);

// The updater's argument line: "replace", then the new program, the old
// program and run_after, each in double quotes after a blank.
std::wstring SelfUpdateArguments(const std::wstring& run_after, bool new_exe);

// How long the replace mode waits for the old launcher to end and for its
// file to become writable.
struct ReplaceTiming {
  unsigned wait_limit_ms = 30000;
  unsigned retry_interval_ms = 200;
};

// The replace mode's work, up to (not including) deleting itself: waits
// until no launcher instance holds the instance semaphore and the old
// program's file can be replaced (both bounded), copies the new program over
// the old one, applies the pending runtime and font lists and starts
// run_after. The new program stays in .\update. Returns false when the copy
// never succeeded (the old program and the pending new one are left as they
// are, so a later run can try again).
bool RunReplaceMode(const std::wstring& new_program, const std::wstring& old_program,
                    const std::wstring& run_after, const ReplaceTiming& timing = {});

// Moves the runtime files listed in .\update\cef_update.txt into the launcher
// folder. The list keeps exactly the entries whose copy failed (their
// sources stay in .\update), so the next hand-off tries them again; it is
// deleted once nothing is left. Entries that would leave either folder, and
// entries without a source, are dropped: they can never apply.
void ApplyPendingCefUpdate();

// Copies the fonts listed in .\update\font_update.txt into the system fonts
// folder and the launcher folder. As with the runtime list, the entries whose
// copy failed stay listed (with their source) for the next start or update;
// a list with nothing left goes.
void ApplyPendingFontUpdate();

// What waits in .\update for the self-updater.
struct PendingUpdates {
  bool launcher = false;  // a complete new launcher.exe not yet in place
  bool cef = false;       // cef_update.txt lists runtime files
  bool font = false;      // font_update.txt lists fonts
};

// Looks for updates that an earlier run left waiting: it was killed after the
// launcher apply and before its hand-off, or the updater could not finish.
// The new launcher counts only when its md5 is the one that the installed
// launcher map names and the program in place differs from it. Any thread;
// reads files only.
PendingUpdates FindLeftoverUpdates();

// The updater's last step: asks the command interpreter to delete this
// program once it has exited, and exits with exit_code. Never returns.
[[noreturn]] void DeleteSelfAndExit(int exit_code);
