// The local gate override: .\save\setting.json, an operator's and tester's
// switch board that can replace the gate servers, the content hosts, the
// tracking endpoint, the web page, the re-check intervals and a few switches.
// The launcher never writes the file; without it every member keeps its
// default and each user keeps its built-in behaviour.
//
// Thread rules: LoadGateSettings touches only its arguments and may run on any
// thread. The LauncherManager fills its record once on the UI thread before the
// worker starts; afterwards both threads only copy it, so it needs no lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct GateSettings {
  // "GateKey": replaces the gate key built from the local game version.
  std::string gateKey;
  // "GateURLs": replaces the built-in gate servers when not empty.
  std::vector<std::string> gateUrls;
  // "QaGate": the gate request asks for the QA answer.
  bool qaGate = false;
  // "DisableAutoEnterGame": a finished check does not start the game.
  bool disableAutoEnterGame = false;
  // "DlcURLs": replaces the content hosts of the gate answer when not empty.
  std::vector<std::string> dlcUrls;
  // "ActivityURL": the main window's web page, loaded unchanged.
  std::string activityUrl;
  // "RefreshInterval" and "UpdateInterval": minutes; the enter-game state
  // honours only 1..99, so any other value here means the built-in interval.
  int32_t refreshInterval = 0;
  int32_t updateInterval = 0;
  // "TrackURL": replaces the built-in tracking endpoint when not empty.
  std::string trackUrl;
  // "IpEchoURL": replaces the built-in IP-echo service when not empty.
  std::string ipEchoUrl;
  // "ca_bundle": path (UTF-8) of an extra CA bundle file that the download
  // engine trusts besides the system's roots when it verifies TLS peers.
  std::string caBundle;
};

// Reads the override file at `path` into `out`. Members present in the file
// are set; the others keep the value `out` already had, and the two lists are
// appended to (the LauncherManager starts from a default record). Each value
// goes through jsoncpp's own conversion to the member's type, whatever its
// JSON type:
// - strings: a string as is, a number as its decimal text, true and false as
//   "true" and "false";
// - booleans: true and false, a non-zero number true, zero false;
// - integers: an integer, a number cut to its whole part, true 1, false 0;
// - lists: each element of an array converted to a string, or any other value
//   converted to a string as the one element.
// A missing or null member is skipped; so is a member that cannot be
// converted (an object or array where a scalar is wanted, a string where a
// bool or integer is wanted, an interval outside the signed 32-bit range, a
// list with an object or array element), which leaves that member untouched.
// Returns false, with `out` untouched, when the file cannot be read, is not
// JSON, or is not a JSON object; true when it was read, even if no member
// applied. Nothing is reported anywhere: a bad file simply overrides nothing.
bool LoadGateSettings(const std::wstring& path, GateSettings& out);
