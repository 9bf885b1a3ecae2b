// URL joining, percent-encoding, the scheme test and Content-Range reading.
#include "download/url_util.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "download/download_manager.h"

namespace {

TEST(UrlUtilTest, JoinUrl) {
  struct Case {
    const char* base;
    const char* tail;
    const char* joined;
  };
  const std::vector<Case> cases = {
      {"a/", "b", "a/b"},
      {"a", "b", "a/b"},
      {"", "b", "b"},
      {"a", "", "a/"},
      {"https://h/x/", "get/urls?key=1", "https://h/x/get/urls?key=1"},
      // The callbacks name a POST as path, "/" and body.
      {"track", "{\"a\":1}", "track/{\"a\":1}"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JoinUrl(c.base, c.tail), c.joined) << c.base << " + " << c.tail;
    EXPECT_EQ(DownloadManager::JoinUrl(c.base, c.tail), c.joined);
  }
}

TEST(UrlUtilTest, EncodeUrlTailKeepsSafeNamesAndEncodesTheRest) {
  struct Case {
    std::string tail;
    std::string encoded;
  };
  const std::vector<Case> cases = {
      // ASCII-safe names and structure come out unchanged.
      {"patchs/1_0_1/VEXA.exe.patch", "patchs/1_0_1/VEXA.exe.patch"},
      {"version_map.txt", "version_map.txt"},
      {"pre_download?channel=VN&udid=ab-12", "pre_download?channel=VN&udid=ab-12"},
      {"get/urls?key=WIN10VN_1_0_0&udid=x&is_qa=true",
       "get/urls?key=WIN10VN_1_0_0&udid=x&is_qa=true"},
      {"a/b~c(1)!@$+,;=:.bin", "a/b~c(1)!@$+,;=:.bin"},
      // Path segments.
      {"data/my file.bin", "data/my%20file.bin"},
      {"data/100%.bin", "data/100%25.bin"},
      {"data/a#1.bin", "data/a%231.bin"},
      {"data/\xC3\xA9t\xC3\xA9.pak", "data/%C3%A9t%C3%A9.pak"},
      {"data/\"q\"<>\\", "data/%22q%22%3C%3E%5C"},
      // Query names and values; "&" and the first "=" stay separators.
      {"get/urls?key=WIN 10&udid=a+b/c=d", "get/urls?key=WIN%2010&udid=a%2Bb/c%3Dd"},
      {"x?v=a&b", "x?v=a&b"},
      {"x?v=%41&w=#", "x?v=%2541&w=%23"},
      {"x?v=\xE4\xB8\xAD", "x?v=%E4%B8%AD"},
  };
  for (const Case& c : cases) EXPECT_EQ(EncodeUrlTail(c.tail), c.encoded) << c.tail;
}

TEST(UrlUtilTest, EncodeUrlTextKeepsStructureAndEscapes) {
  EXPECT_EQ(EncodeUrlText("https://127.0.0.1:5/a b?x=%20&y=\xC3\xA9"),
            "https://127.0.0.1:5/a%20b?x=%20&y=%C3%A9");
  EXPECT_EQ(EncodeUrlText("http://h/p?q=1&r=2#frag"), "http://h/p?q=1&r=2#frag");
  EXPECT_EQ(EncodeUrlText("http://h/\x01\x7f{}|^`"), "http://h/%01%7F%7B%7D%7C%5E%60");
  EXPECT_EQ(BuildRequestUrl("http://127.0.0.1:8/hostA/", "my file.bin"),
            "http://127.0.0.1:8/hostA/my%20file.bin");
  EXPECT_EQ(BuildRequestUrl("http://127.0.0.1:8/host A", "x"), "http://127.0.0.1:8/host%20A/x");
}

TEST(UrlUtilTest, OnlyHttpAndHttpsAreAccepted) {
  struct Case {
    const char* url;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"http://127.0.0.1/x", true},   {"https://127.0.0.1/x", true},
      {"HTTPS://127.0.0.1/x", true},  {"HtTp://h", true},
      {"ftp://127.0.0.1/x", false},   {"file:///etc/passwd", false},
      {"javascript:alert(1)", false}, {"http:/127.0.0.1", false},
      {"httpx://h", false},           {"", false},
      {"//127.0.0.1/x", false},       {"dict://127.0.0.1:11211/", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsHttpUrl(c.url), c.accepted) << c.url;
}

TEST(UrlUtilTest, ParseContentRange) {
  struct Case {
    const char* value;
    bool ok;
    int64_t first, last, total;
  };
  const std::vector<Case> cases = {
      {"bytes 0-99/1234", true, 0, 99, 1234},
      {" bytes 33554432-33554432/33554433 ", true, 33554432, 33554432, 33554433},
      {"BYTES 5-9/*", true, 5, 9, -1},
      {"bytes 9-5/100", false, 0, 0, 0},
      {"bytes */100", false, 0, 0, 0},
      {"bytes=0-1/2", false, 0, 0, 0},
      {"items 0-1/2", false, 0, 0, 0},
      {"bytes 0-1/2x", false, 0, 0, 0},
      {"bytes 0-99999999999999999999/1", false, 0, 0, 0},
      {"", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    int64_t first = -7, last = -7, total = -7;
    EXPECT_EQ(ParseContentRange(c.value, first, last, total), c.ok) << c.value;
    if (c.ok) {
      EXPECT_EQ(first, c.first) << c.value;
      EXPECT_EQ(last, c.last) << c.value;
      EXPECT_EQ(total, c.total) << c.value;
    }
  }
}

}  // namespace
