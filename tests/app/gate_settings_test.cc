#include "app/gate_settings.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/file_util.h"
#include "test_dir.h"

namespace {

using testsupport::TestDir;
using Strings = std::vector<std::string>;

std::wstring WriteSettings(const std::string& text) {
  std::wstring path = TestDir() + L"setting.json";
  EXPECT_TRUE(WriteFileTextW(path, text));
  return path;
}

void ExpectDefaults(const GateSettings& s) {
  EXPECT_EQ(s.gateKey, "");
  EXPECT_TRUE(s.gateUrls.empty());
  EXPECT_FALSE(s.qaGate);
  EXPECT_FALSE(s.disableAutoEnterGame);
  EXPECT_TRUE(s.dlcUrls.empty());
  EXPECT_EQ(s.activityUrl, "");
  EXPECT_EQ(s.refreshInterval, 0);
  EXPECT_EQ(s.updateInterval, 0);
  EXPECT_EQ(s.trackUrl, "");
  EXPECT_EQ(s.caBundle, "");
}

TEST(GateSettingsTest, ReadsEveryKeyInItsUsualForm) {
  const std::string text = R"({
    "GateKey": "10076_5_3",
    "GateURLs": ["https://gate1.example.test/", "https://gate2.example.test/"],
    "QaGate": true,
    "DlcURLs": ["https://cdn.example.test/a/"],
    "ActivityURL": "https://news.example.test/page?x=1",
    "RefreshInterval": 15,
    "UpdateInterval": 30,
    "TrackURL": "https://track.example.test/e",
    "DisableAutoEnterGame": true,
    "ca_bundle": "C:\\certs\\extra roots.pem",
    "SomethingElse": {"ignored": true}
  })";
  GateSettings s;
  ASSERT_TRUE(LoadGateSettings(WriteSettings(text), s));
  EXPECT_EQ(s.gateKey, "10076_5_3");
  EXPECT_EQ(s.gateUrls, (Strings{"https://gate1.example.test/", "https://gate2.example.test/"}));
  EXPECT_TRUE(s.qaGate);
  EXPECT_EQ(s.dlcUrls, (Strings{"https://cdn.example.test/a/"}));
  EXPECT_EQ(s.activityUrl, "https://news.example.test/page?x=1");
  EXPECT_EQ(s.refreshInterval, 15);
  EXPECT_EQ(s.updateInterval, 30);
  EXPECT_EQ(s.trackUrl, "https://track.example.test/e");
  EXPECT_TRUE(s.disableAutoEnterGame);
  EXPECT_EQ(s.caBundle, "C:\\certs\\extra roots.pem");
}

TEST(GateSettingsTest, ConvertsScalarsAsTheJsonLibraryDoes) {
  struct Case {
    const char* text;
    std::function<void(const GateSettings&)> check;
  };
  const std::vector<Case> cases = {
      {R"({"GateKey": 12345})", [](const GateSettings& s) { EXPECT_EQ(s.gateKey, "12345"); }},
      {R"({"GateKey": true, "TrackURL": false})",
       [](const GateSettings& s) {
         EXPECT_EQ(s.gateKey, "true");
         EXPECT_EQ(s.trackUrl, "false");
       }},
      {R"({"ActivityURL": -7, "ca_bundle": 0})",
       [](const GateSettings& s) {
         EXPECT_EQ(s.activityUrl, "-7");
         EXPECT_EQ(s.caBundle, "0");
       }},
      {R"({"QaGate": 1, "DisableAutoEnterGame": 0})",
       [](const GateSettings& s) {
         EXPECT_TRUE(s.qaGate);
         EXPECT_FALSE(s.disableAutoEnterGame);
       }},
      {R"({"QaGate": 0.5, "DisableAutoEnterGame": -3})",
       [](const GateSettings& s) {
         EXPECT_TRUE(s.qaGate);
         EXPECT_TRUE(s.disableAutoEnterGame);
       }},
      {R"({"RefreshInterval": 2.9, "UpdateInterval": -2.9})",
       [](const GateSettings& s) {
         EXPECT_EQ(s.refreshInterval, 2);
         EXPECT_EQ(s.updateInterval, -2);
       }},
      {R"({"RefreshInterval": true, "UpdateInterval": false})",
       [](const GateSettings& s) {
         EXPECT_EQ(s.refreshInterval, 1);
         EXPECT_EQ(s.updateInterval, 0);
       }},
      // Out-of-range intervals are kept: the enter-game state ignores them.
      {R"({"UpdateInterval": 100, "RefreshInterval": 0})",
       [](const GateSettings& s) {
         EXPECT_EQ(s.updateInterval, 100);
         EXPECT_EQ(s.refreshInterval, 0);
       }},
      {R"({"UpdateInterval": 99, "RefreshInterval": 2147483647})",
       [](const GateSettings& s) {
         EXPECT_EQ(s.updateInterval, 99);
         EXPECT_EQ(s.refreshInterval, 2147483647);
       }},
      {R"({"GateURLs": "https://one.example.test/"})",
       [](const GateSettings& s) { EXPECT_EQ(s.gateUrls, Strings{"https://one.example.test/"}); }},
      {R"({"GateURLs": [], "DlcURLs": 42})",
       [](const GateSettings& s) {
         EXPECT_TRUE(s.gateUrls.empty());
         EXPECT_EQ(s.dlcUrls, Strings{"42"});
       }},
      {R"({"DlcURLs": ["a", 1, true, null]})",
       [](const GateSettings& s) {
         EXPECT_EQ(s.dlcUrls, (Strings{"a", "1", "true", ""}));
       }},
      {R"({"GateKey": null, "GateURLs": null, "QaGate": null, "RefreshInterval": null})",
       [](const GateSettings& s) { ExpectDefaults(s); }},
      // Key names are exact.
      {R"({"gatekey": "x", "qagate": true, "CA_BUNDLE": "y"})",
       [](const GateSettings& s) { ExpectDefaults(s); }},
      // A byte-order mark before the object is allowed.
      {"\xEF\xBB\xBF{\"GateKey\": \"bom\"}",
       [](const GateSettings& s) { EXPECT_EQ(s.gateKey, "bom"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    GateSettings s;
    ASSERT_TRUE(LoadGateSettings(WriteSettings(c.text), s));
    c.check(s);
  }
}

TEST(GateSettingsTest, ValuesOfTheWrongTypeAreSkippedOneByOne) {
  // Every member below but the last has a value the conversions cannot take;
  // each is skipped alone and the one good member still applies.
  const std::string text = R"({
    "GateKey": {"nested": 1},
    "GateURLs": [{"url": "x"}, "https://ok.example.test/"],
    "QaGate": "true",
    "DlcURLs": {"a": "b"},
    "ActivityURL": ["https://a.example.test/"],
    "RefreshInterval": "5",
    "UpdateInterval": 3000000000,
    "TrackURL": [],
    "ca_bundle": {},
    "DisableAutoEnterGame": true
  })";
  GateSettings s;
  ASSERT_TRUE(LoadGateSettings(WriteSettings(text), s));
  EXPECT_EQ(s.gateKey, "");
  EXPECT_TRUE(s.gateUrls.empty());  // no half list
  EXPECT_FALSE(s.qaGate);
  EXPECT_TRUE(s.dlcUrls.empty());
  EXPECT_EQ(s.activityUrl, "");
  EXPECT_EQ(s.refreshInterval, 0);
  EXPECT_EQ(s.updateInterval, 0);
  EXPECT_EQ(s.trackUrl, "");
  EXPECT_EQ(s.caBundle, "");
  EXPECT_TRUE(s.disableAutoEnterGame);

  for (const char* interval : {"-3000000000", "1e10", "-1e300", "[1]", "{}"}) {
    SCOPED_TRACE(interval);
    GateSettings t;
    std::string file = std::string("{\"RefreshInterval\": ") + interval +
                       ", \"UpdateInterval\": " + interval + ", \"GateKey\": \"k\"}";
    ASSERT_TRUE(LoadGateSettings(WriteSettings(file), t));
    EXPECT_EQ(t.refreshInterval, 0);
    EXPECT_EQ(t.updateInterval, 0);
    EXPECT_EQ(t.gateKey, "k");
  }
}

TEST(GateSettingsTest, UnusableFilesOverrideNothing) {
  std::string binary;
  for (int i = 0; i < 512; ++i) binary.push_back(static_cast<char>((i * 37) & 0xFF));
  const std::vector<std::string> texts = {
      "",
      "   \r\n\t",
      "{",
      "{\"GateKey\": \"abc",
      "{\"GateKey\": \"abc\", \"QaGate\": tr",
      std::string("{\"GateKey\": \"a\0b\"", 17),
      binary,
      "[\"GateKey\", \"x\"]",
      "42",
      "\"GateKey\"",
      "null",
      std::string(100000, '[') + std::string(100000, ']'),
  };
  for (size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(i);
    GateSettings s;
    s.gateUrls = {"kept"};
    EXPECT_FALSE(LoadGateSettings(WriteSettings(texts[i]), s));
    EXPECT_EQ(s.gateUrls, Strings{"kept"});
    s.gateUrls.clear();
    ExpectDefaults(s);
  }
  GateSettings s;
  EXPECT_FALSE(LoadGateSettings(TestDir() + L"missing.json", s));
  EXPECT_FALSE(LoadGateSettings(L"", s));
  ASSERT_TRUE(CreateDirectoryW((TestDir() + L"folder.json").c_str(), nullptr));
  EXPECT_FALSE(LoadGateSettings(TestDir() + L"folder.json", s));
  ExpectDefaults(s);
}

TEST(GateSettingsTest, ListsAreAppendedAndOtherMembersKept) {
  GateSettings s;
  s.gateUrls = {"https://first.example.test/"};
  s.gateKey = "before";
  s.updateInterval = 7;
  ASSERT_TRUE(
      LoadGateSettings(WriteSettings(R"({"GateURLs": ["https://second.example.test/"]})"), s));
  EXPECT_EQ(s.gateUrls, (Strings{"https://first.example.test/", "https://second.example.test/"}));
  EXPECT_EQ(s.gateKey, "before");
  EXPECT_EQ(s.updateInterval, 7);
}

}  // namespace
