// The launcher's four fonts. They travel inside the program as "FONTS"
// resources; at every start the launcher makes sure each one is in the
// system fonts folder and registered under the Fonts key of
// HKEY_LOCAL_MACHINE, and then applies a font update that an earlier run left
// pending. Before the self-updater replaces font files the launcher takes its
// fonts out again, but only files that are byte for byte its own: a font of
// the same name that someone else installed is never touched.
//
// Threads: InstallBundledFonts, UninstallBundledFonts and SetUiFontNames run
// on the UI thread (start-up, exit, language switch) while no other thread
// uses the font table; the choice they leave is read on the UI thread only.
// The source seam is swapped by tests only, while nothing else runs.
#pragma once

#include <string>

struct BundledFont {
  const wchar_t* file_name;
  int resource_id;  // of the resource type "FONTS"
  const wchar_t* registry_value;
  const wchar_t* face_name;
};

constexpr int kBundledFontCount = 4;
// In the order every caller uses: Loma, Loma Bold, Source Han Sans CN
// Regular and Bold.
extern const BundledFont kBundledFonts[kBundledFontCount];

constexpr wchar_t kFontsRegistryKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";

// Where the bytes of a bundled font come from. The real source reads the
// program's "FONTS" resources.
class BundledFontSource {
 public:
  virtual ~BundledFontSource() = default;
  // False when the program carries no such font.
  virtual bool Read(const BundledFont& font, std::string& bytes) = 0;
};
// Returns the source that was in place; null puts the real one back.
BundledFontSource* SetBundledFontSourceForTesting(BundledFontSource* source);

// The system fonts folder (the Windows folder's "Fonts"), without a
// trailing separator.
std::wstring SystemFontsFolder();

// 1 when all four fonts are in the fonts folder and registered; then the
// pending font list is applied and the UI faces are chosen. 0 at the first
// font that could not be written or registered (no rights, no resource): the
// UI keeps its default faces for this run and the font list stays pending.
// A font file that is already present is not rewritten.
int InstallBundledFonts();

// Takes the four registry values out, tells the windows that the fonts
// changed, and deletes each font file whose bytes equal ours (the program's
// resource, or the copy beside the program that a font update left there).
// A value is removed only while it names our file and that file is absent or
// ours.
void UninstallBundledFonts();

// The faces the UI framework is to use, as chosen at start.
struct UiFontChoice {
  bool chosen = false;     // false: the framework's defaults
  std::wstring faces[6];   // system regular, bold, italic; button regular, bold, italic
  bool anti_alias = true;  // text anti-aliasing
};
UiFontChoice CurrentUiFontChoice();

// Gives the button faces (entries 3 to 5) the system faces' names (entries
// 0 to 2) and tells the UI framework through the manager's hook.
void SetUiFontNames();

// Back to a fresh process's choice (tests only).
void ResetUiFontChoiceForTesting();
