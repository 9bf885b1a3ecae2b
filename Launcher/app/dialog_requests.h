// Message boxes and option boxes requested from any thread. A request copies
// its texts into a task on the UI thread, which has the dialog factory build
// the dialog there; the dialog closes itself and its result callback is then
// posted to the UI thread. The launcher's real dialogs plug in as the
// factory; tests use a scripted one.
//
// Threads: requests may be made on any thread; the factory, the dialogs and
// every result callback run on the UI thread (thread 0).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// The result of every dialog: 1 yes or confirm, 0 no or close; the option box
// gives the chosen index.
using ModalResultCallback = std::function<void(int)>;

// A text shown by a dialog: a language id to look up, or a plain text.
struct DialogText {
  std::wstring value;
  bool is_id = false;
  bool operator==(const DialogText& o) const { return value == o.value && is_id == o.is_id; }
};

// Picks the id when it is not empty, else the plain text.
DialogText PickDialogText(const std::wstring& id, const std::wstring& text);

struct MessageBoxSpec {
  DialogText title;
  DialogText content;
  DialogText detail;
  // First caption belongs to "btn_no", second to "btn_yes"; an empty caption
  // hides its button. Both are ids, or both plain texts.
  DialogText first_button;
  DialogText second_button;
  bool swap_button_styles = false;
};

struct OptionsBoxSpec {
  DialogText content;
  std::wstring group;
  std::vector<DialogText> options;
  int initial_index = 0;
  DialogText confirm;
};

// Builds the dialogs on the UI thread.
class DialogFactory {
 public:
  virtual ~DialogFactory() = default;
  // Shows a box owned (and disabled while it is open) by owner; calls closed
  // with the result once the box has closed. False when nothing was shown.
  virtual bool ShowMessageBox(HWND owner, const MessageBoxSpec& spec,
                              std::function<void(int)> closed) = 0;
  virtual bool ShowOptionsBox(HWND owner, const OptionsBoxSpec& spec,
                              std::function<void(int)> closed) = 0;
};

// An update error with detail and retry: ten texts as id/text pairs.
struct ErrorBoxRequest {
  HWND owner = nullptr;  // null: the main window
  std::wstring title_id, title_text;
  std::wstring content_id, content_text;
  std::wstring detail_id, detail_text;
  std::wstring first_button_id, second_button_id;
  std::wstring first_button_text, second_button_text;
  ModalResultCallback result;
  bool swap_button_styles = false;
};
