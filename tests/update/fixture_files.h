// Access to the fixture tree that tests/fixtures/build_content.py writes into
// the build folder (LAUNCHER_FIXTURE_DIR, a Wine path on drive Z:).
#pragma once

#include <string>

#include <json/json.h>

#include "base/text_util.h"
#include "test_process.h"

#ifndef LAUNCHER_FIXTURE_DIR
#error "LAUNCHER_FIXTURE_DIR must name the fixture tree"
#endif

namespace fixtures {

// The fixture file at `relative` ("/" separators, UTF-8).
inline std::wstring Path(const std::string& relative) {
  std::wstring root;
  TextUtil::Utf8ToWide(LAUNCHER_FIXTURE_DIR, root);
  std::wstring rel;
  TextUtil::Utf8ToWide(relative.c_str(), rel);
  std::wstring path = root + L"/" + rel;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

inline std::string Read(const std::string& relative) {
  return testsupport::ReadWholeFile(Path(relative));
}

inline Json::Value ReadJson(const std::string& relative) {
  const std::string text = Read(relative);
  Json::Value root;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  reader->parse(text.data(), text.data() + text.size(), &root, &errors);
  return root;
}

}  // namespace fixtures
