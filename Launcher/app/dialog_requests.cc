// The dialog requests of the LauncherManager.
#include "app/dialog_requests.h"

#include <memory>
#include <utility>

#include "app/launcher_manager.h"
#include "app/launcher_messages.h"
#include "base/thread_registry.h"

DialogText PickDialogText(const std::wstring& id, const std::wstring& text) {
  if (!id.empty()) return DialogText{id, true};
  return DialogText{text, false};
}

namespace {

MessageBoxSpec SpecFor(const ErrorBoxRequest& r) {
  MessageBoxSpec spec;
  spec.title = PickDialogText(r.title_id, r.title_text);
  spec.content = PickDialogText(r.content_id, r.content_text);
  spec.detail = PickDialogText(r.detail_id, r.detail_text);
  // Captions are both ids as soon as either button has an id.
  if (!r.first_button_id.empty() || !r.second_button_id.empty()) {
    spec.first_button = DialogText{r.first_button_id, true};
    spec.second_button = DialogText{r.second_button_id, true};
  } else {
    spec.first_button = DialogText{r.first_button_text, false};
    spec.second_button = DialogText{r.second_button_text, false};
  }
  spec.swap_button_styles = r.swap_button_styles;
  return spec;
}

}  // namespace

namespace {

ErrorBoxRequest MakeRequest(HWND owner, const std::wstring& title_id,
                            const std::wstring& title_text, const std::wstring& content_id,
                            const std::wstring& content_text, const std::wstring& first_button_id,
                            const std::wstring& second_button_id,
                            const std::wstring& first_button_text,
                            const std::wstring& second_button_text, ModalResultCallback result,
                            bool swap_button_styles) {
  ErrorBoxRequest request;
  request.owner = owner;
  request.title_id = title_id;
  request.title_text = title_text;
  request.content_id = content_id;
  request.content_text = content_text;
  request.first_button_id = first_button_id;
  request.second_button_id = second_button_id;
  request.first_button_text = first_button_text;
  request.second_button_text = second_button_text;
  request.result = std::move(result);
  request.swap_button_styles = swap_button_styles;
  return request;
}

}  // namespace

void LauncherManager::RequestMessageBox(HWND owner, const std::wstring& title_id,
                                        const std::wstring& content_id,
                                        const std::wstring& first_button_id,
                                        const std::wstring& second_button_id,
                                        ModalResultCallback result, bool swap_button_styles) {
  msgBoxShown = true;
  PostDialog(MakeRequest(owner, title_id, L"", content_id, L"", first_button_id, second_button_id,
                         L"", L"", std::move(result), swap_button_styles),
             /*counted=*/true);
}

void LauncherManager::RequestMessageBoxEx(
    HWND owner, const std::wstring& title_id, const std::wstring& title_text,
    const std::wstring& content_id, const std::wstring& content_text,
    const std::wstring& first_button_id, const std::wstring& second_button_id,
    const std::wstring& first_button_text, const std::wstring& second_button_text,
    ModalResultCallback result, bool swap_button_styles) {
  PostDialog(MakeRequest(owner, title_id, title_text, content_id, content_text, first_button_id,
                         second_button_id, first_button_text, second_button_text, std::move(result),
                         swap_button_styles),
             /*counted=*/false);
}

void LauncherManager::RequestErrorBox(ErrorBoxRequest request) {
  PostDialog(std::move(request), /*counted=*/false);
}

void LauncherManager::PostDialog(ErrorBoxRequest request, bool counted) {
  // Counted before the post, so a reader on any thread sees the box as open
  // from the request on.
  if (counted) ++open_message_boxes_;
  auto shared = std::make_shared<ErrorBoxRequest>(std::move(request));
  const bool posted = nbase::ThreadRegistry::PostTo(nbase::kMainThreadId, [this, shared, counted] {
    ShowOrKeep(PendingDialog{
        shared->owner,
        [this, shared, counted](HWND owner) { return ShowMessageBoxNow(owner, *shared, counted); },
        [this, counted] {
          if (counted) --open_message_boxes_;
        }});
  });
  if (!posted && counted) --open_message_boxes_;
}

void LauncherManager::RequestOptionsBox(const std::wstring& content_id, const std::wstring& group,
                                        const std::vector<std::wstring>& option_ids, int,
                                        const std::wstring& confirm_id,
                                        ModalResultCallback result) {
  auto spec = std::make_shared<OptionsBoxSpec>();
  spec->content = DialogText{content_id, true};
  spec->group = group;
  for (const std::wstring& id : option_ids) spec->options.push_back(DialogText{id, true});
  spec->initial_index = 0;
  spec->confirm = DialogText{confirm_id, true};
  auto callback = std::make_shared<ModalResultCallback>(std::move(result));
  nbase::ThreadRegistry::PostTo(nbase::kMainThreadId, [this, spec, callback] {
    ShowOrKeep(PendingDialog{nullptr,
                             [this, spec, callback](HWND owner) {
                               if (!dialog_factory_) return false;
                               return dialog_factory_->ShowOptionsBox(
                                   owner, *spec,
                                   [callback](int index) { PostResult(*callback, index); });
                             },
                             nullptr});
  });
}

// UI thread. Without an owner window (the main window is not there yet) or a
// factory, the request waits until both exist, so no caller waits for ever.
void LauncherManager::ShowOrKeep(PendingDialog dialog) {
  HWND owner = dialog.owner ? dialog.owner : main_window_.load();
  if (!owner || !dialog_factory_) {
    pending_dialogs_.push_back(std::move(dialog));
    return;
  }
  dialog.show(owner);
}

bool LauncherManager::ShowMessageBoxNow(HWND owner, const ErrorBoxRequest& request, bool counted) {
  const ModalResultCallback callback = request.result;
  auto closed = [this, callback, counted](int result) {
    if (counted) --open_message_boxes_;
    PostToMainWindow(kMsgSettingsChanged, 0, 0);
    PostResult(callback, result);
  };
  if (!dialog_factory_ || !dialog_factory_->ShowMessageBox(owner, SpecFor(request), closed)) {
    // A box that could not be shown counts as closed, so nothing stays
    // blocked behind it and the caller learns the outcome.
    closed(0);
    return false;
  }
  return true;
}

void LauncherManager::PostResult(const ModalResultCallback& callback, int result) {
  if (!callback) return;
  nbase::ThreadRegistry::PostTo(nbase::kMainThreadId, [callback, result] { callback(result); });
}

void LauncherManager::SetDialogFactory(std::unique_ptr<DialogFactory> factory) {
  dialog_factory_ = std::move(factory);
  FlushPendingDialogs();
}

void LauncherManager::FlushPendingDialogs() {
  if (!main_window_.load() || !dialog_factory_) return;
  std::vector<PendingDialog> waiting;
  waiting.swap(pending_dialogs_);
  for (PendingDialog& dialog : waiting) ShowOrKeep(std::move(dialog));
}

void LauncherManager::DiscardPendingDialogs() {
  std::vector<PendingDialog> waiting;
  waiting.swap(pending_dialogs_);
  for (PendingDialog& dialog : waiting) {
    if (dialog.discarded) dialog.discarded();
  }
}
