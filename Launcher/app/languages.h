// The launcher's fixed tables of languages and bundled fonts.
//
// The language index is LauncherSettings::languageType: it picks the language
// file of the UI framework (resources\lang\<code>.ini), the per-language
// sections of the channel configuration, and the language-string id under
// which the settings window shows each language's own name. The font tables
// name the four fonts the launcher ships and installs.
//
// Thread rules: everything here is a compile-time constant or a pure function
// of its arguments; any thread may use it at any time, before the entry point
// included.
#pragma once

#include <cstddef>
#include <string>

inline constexpr size_t kLanguageCount = 18;

// Indexed by languageType. Japanese (2) stays in the table although start-up
// switches it to Vietnamese: stored settings and command lines may name it.
inline constexpr const char* kLanguageCodes[kLanguageCount] = {
    "en", "zh_CN", "ja", "ko",    "zh_TW", "vi", "fr", "id", "it",
    "es", "tr",    "th", "pt_BR", "ar",    "ru", "de", "pl", "ms",
};

// Language-string ids of each language's own name, in the same order. The
// spellings are those of the language files and must not be corrected.
inline constexpr const char* kLanguageNameKeys[kLanguageCount] = {
    "STRING_LANG_ENGLAND",   "STRING_LANG_CHINA",      "STRING_LANG_JAPANESE",
    "STRING_LANG_KOREAN",    "STRING_LANG_TAIWAN",     "STRING_LANG_VIETNAMESE",
    "STRING_LANG_FRENCH",    "STRING_LANG_INDONESIAN", "STRING_LANG_ITALIAN",
    "STRING_LANG_SPAISH",    "STRING_LANG_TURKIC",     "STRING_LANG_THAI",
    "STRING_LANG_PORTGUESE", "STRING_LANG_ARABIC",     "STRING_LANG_RUSSIAN",
    "STRING_LANG_GERMAN",    "STRING_LANG_POLISH",     "STRING_LANG_MALAY",
};

// The language code and name key at `index`; an index outside 0..17 reads as
// 0 (English), as both tables do everywhere in the launcher.
const char* LanguageCodeAt(int index);
const char* LanguageNameKeyAt(int index);

// The index of the first entry of kLanguageCodes equal to `code` (exact,
// case-sensitive), or -1 when no entry matches.
int LanguageIndexOf(const std::string& code);

inline constexpr size_t kBundledFontCount = 4;

// Face names as the fonts register themselves.
inline constexpr const wchar_t* kBundledFontFaces[kBundledFontCount] = {
    L"Loma", L"Loma Bold",
    L"\u601D\u6E90\u9ED1\u4F53 CN Regular",  // 思源黑体 CN Regular
    L"\u601D\u6E90\u9ED1\u4F53 CN Bold",     // 思源黑体 CN Bold
};

// Value names under the system's Fonts registry key.
inline constexpr const wchar_t* kBundledFontValueNames[kBundledFontCount] = {
    L"Loma (TrueType)",
    L"Loma Bold (TrueType)",
    L"\u601D\u6E90\u9ED1\u4F53 CN Regular (TrueType)",
    L"\u601D\u6E90\u9ED1\u4F53 CN Bold (TrueType)",
};

// File names, in the launcher's font folder and in the system's.
inline constexpr const wchar_t* kBundledFontFiles[kBundledFontCount] = {
    L"LomaN.ttf",
    L"LomaB.ttf",
    L"SourceHanSansCNRegular.ttf",
    L"SourceHanSansCNBold.ttf",
};
