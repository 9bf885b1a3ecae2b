// Fetches the patch list of the installed version (patchs/<version>/
// patch_list.txt): for which files a binary patch from the installed version
// exists, with the patch file's md5 and size. A list that cannot be fetched
// or read is no error: the patch map then stays empty and every file is
// fetched whole. The request is blocking and answers inside Enter; the next
// tick moves on to the downloads.
//
// Threads: worker (thread 1) only.
#pragma once

#include <string>

#include "update/state.h"

class RequestPatchState : public State {
 public:
  explicit RequestPatchState(UpdateMode mode) : State(mode) {}

  int TypeId() const override { return kStateRequestPatch; }
  void Enter(State* previous) override;
  void Update() override;
  void Exit(State* /*next*/) override {}
  void OnResponse(int code, const std::string& url, const char* body, int length,
                  const std::string& error) override;

  const std::string& patch_key() const { return patch_key_; }

 private:
  std::string patch_key_;
};
