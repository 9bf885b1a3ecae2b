// The channel UI configuration: the title texts, the legal-page and community
// links, the main window's jump-link buttons and the overrides of language
// strings that the publishing channel ("VN") ships in its resource package, as
// "common_config_CHANNEL_VN.json" in the theme folder, with
// "common_config.json" as the general fallback.
//
// The LauncherManager holds a ChannelUiConfig (its titleTable, urlTable and
// jumpLinks) and rebuilds it with LoadChannelUiConfig at start-up and after
// each language switch or package reload; the string overrides go to the
// language table.
//
// Thread rules: the records belong to the UI thread. The functions touch only
// their arguments, the files and the process-wide package holder (which locks
// itself), so they are safe on any thread that owns its output record.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

// One jump-link button of the main window.
struct JumpLink {
  std::string normalImage;  // image path in the skin files' form
  std::string hotImage;     // the image under the mouse
  std::string tooltip;      // language-string id of the tooltip
  std::string name;         // link key, also its key in urlTable
};

struct ChannelUiConfig {
  // "title_main", "title_sub" -> text, for the language loaded.
  std::map<std::string, std::wstring> titleTable;
  // Link key -> URL: "Privacy", "Service", "FAQ" and "Forum_" + link name.
  std::map<std::string, std::string> urlTable;
  // In configuration order, the FAQ link last.
  std::vector<JumpLink> jumpLinks;
  // Language-string id -> text that replaces the language file's text.
  std::map<std::wstring, std::wstring> stringOverrides;
};

// The channel whose configuration variant is read first.
inline constexpr const char* kChannelConfigVariant = "CHANNEL_VN";

// The skin root the UI environment works in, relative to the program's folder
// and inside the package alike.
inline constexpr const wchar_t* kThemeFolder = L"resources\\themes\\default\\";

// "common_config_" + variant + ".json".
std::wstring ChannelConfigFileName(const std::string& variant);

// Reads a file of the theme folder by its name (such as
// "common_config.json") into `bytes`; false when it cannot be had.
using ThemeFileReader = std::function<bool(const std::wstring& name, std::string& bytes)>;

// The reader the launcher uses: the package entry
// "resources/themes/default/<name>" when a package is in force and has it,
// else the file ".\resources\themes\default\<name>" on the disk.
bool ReadThemeFile(const std::wstring& name, std::string& bytes);

// Builds the configuration from JSON text for `languageCode`. Each section
// ("Titles", "Privacy", "Service", "Forum", "FAQ") is taken for the language:
// its member named by the code when there is one, else its "en" member, else
// the section itself. Members are found as FindJsonMember finds them.
// - "OverwriteStrings": array of {"key", "value"}; pairs of two strings are
//   kept (a later one replaces an earlier one), anything else is skipped.
// - "Titles": "title_main" and "title_sub" when they are strings.
// - "Privacy", "Service": the URL when it is a string.
// - "Forum": array of {"name", "url", "NormalImage", "HotImage", "Tooltips"};
//   an entry with a name and both images adds urlTable["Forum_" + name] and
//   a jump link, in order.
// - "FAQ": "NormalImage" and "HotImage" from the FAQ object itself, "url"
//   and "Tooltips" from its language section; with both images it adds
//   urlTable["FAQ"] and the last jump link.
// A missing section or field, or one of an unexpected type, reads as empty;
// nothing is carried over from another section or entry.
// Returns false, with `out` untouched, when the text does not parse; else
// replaces `out` whole and returns true.
bool ParseChannelUiConfig(const std::string& text, const std::string& languageCode,
                          ChannelUiConfig& out);

// Reads the channel variant, else "common_config.json", through `read` and
// parses it as above. False, with `out` untouched, when neither file can be
// read or the text read does not parse.
bool LoadChannelUiConfig(const ThemeFileReader& read, const std::string& languageCode,
                         ChannelUiConfig& out);

// The same through ReadThemeFile.
bool LoadChannelUiConfig(const std::string& languageCode, ChannelUiConfig& out);
