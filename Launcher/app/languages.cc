#include "app/languages.h"

namespace {

size_t ClampedIndex(int index) {
  if (index < 0 || static_cast<size_t>(index) >= kLanguageCount) return 0;
  return static_cast<size_t>(index);
}

}  // namespace

const char* LanguageCodeAt(int index) { return kLanguageCodes[ClampedIndex(index)]; }

const char* LanguageNameKeyAt(int index) { return kLanguageNameKeys[ClampedIndex(index)]; }

int LanguageIndexOf(const std::string& code) {
  for (size_t i = 0; i < kLanguageCount; ++i) {
    if (code == kLanguageCodes[i]) return static_cast<int>(i);
  }
  return -1;
}
