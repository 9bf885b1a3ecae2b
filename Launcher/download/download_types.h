// Result codes, callback types and the two small interfaces through which the
// download engine meets the rest of the launcher: DownloadSettings (what it is
// told at start-up) and DownloadSink (where its size, speed and pause reports,
// its statistics and its telemetry go).
//
// Thread rules: the callbacks and every DownloadSink call run on the worker
// thread (kMiscThreadId), the file callbacks inside DownloadManager::Poll and
// the request callbacks inside the request call. DownloadSettings is a plain
// value copied into the engine by Init.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Results passed to every result callback as `code`.
constexpr int kDownloadOk = 0;
constexpr int kDownloadFailed = -1;
constexpr int kDownloadUnreachable = -2;
constexpr int kDownloadTransferError = -3;
constexpr int kDownloadMd5Error = -4;

// Which pair of limit settings applies to the transfers.
enum SpeedLimitMode { kSpeedLimitDownload = 0, kSpeedLimitPreDownload = 1 };

// The update states pass their state type id as `user`, so that a late answer
// can be recognised and dropped. Strings are passed by value.
using DownloadDoneCallback = void (*)(int user, int code, std::string path, std::string message);
using DownloadSpeedCallback = void (*)(int user, double bytesPerSecond);
// `data` is valid only during the call and is followed by a zero byte; `size`
// counts its bytes without that zero.
using DownloadResponseCallback = void (*)(int user, int code, std::string url, const char* data,
                                          int size, std::string message);
using DownloadProbeCallback = void (*)(int user, int code, std::string url, bool exists,
                                       std::string message);

// One pair of the user's limit settings: on or off, and the limit in KB/s
// (1 KB = 1024 bytes) for all transfers together.
struct SpeedLimitSetting {
  bool enabled = false;
  int kilobytesPerSecond = 4096;
};

// What the engine is given at start-up. The lists and texts come from the
// gate override file (save\setting.json); empty means the built-in value.
struct DownloadSettings {
  // "GateURLs": replaces the built-in gate servers when not empty.
  std::vector<std::string> gateUrls;
  // "DlcURLs": replaces the content hosts of every gate answer when not empty.
  std::vector<std::string> dlcUrls;
  // "TrackURL": replaces the built-in tracking endpoint when not empty.
  std::string trackUrl;
  // Replaces the built-in attribution endpoint when not empty (private
  // deployments and tests).
  std::string attributionUrl;
  // "IpEchoURL": replaces the built-in IP-echo service (a plain GET whose
  // body is the caller's public address) when not empty.
  std::string ipEchoUrl;
  // "ca_bundle": UTF-8 path (relative paths mean the launcher folder) of a PEM
  // file with CA certificates trusted besides the system's own roots.
  std::string caBundle;
  // The user's limits at start-up; later changes arrive through
  // DownloadManager::ApplySpeedLimit.
  SpeedLimitSetting downloadLimit;
  SpeedLimitSetting preDownloadLimit;
  // A transfer that fetched less than stallBytesPerSecond on average over
  // stallSeconds (paused time excluded) is given up and retried. A limit so
  // low that one transfer may not reach that rate lowers the threshold to
  // half of the transfer's share.
  int stallSeconds = 60;
  int stallBytesPerSecond = 1024;
};

// Receives what the engine reports. Every member defaults to doing nothing,
// so the engine runs without a window, statistics or telemetry; the launcher
// core's implementation posts the private window messages to thread 0 and
// forwards the rest.
class DownloadSink {
 public:
  virtual ~DownloadSink() = default;

  // kMsgDownloadSize (2129): wParam total, lParam done.
  virtual void OnDownloadSize(int64_t /*totalBytes*/, int64_t /*doneBytes*/) {}
  // kMsgDownloadSpeed (2128): wParam remaining seconds, lParam bytes per second.
  virtual void OnDownloadSpeed(int64_t /*remainingSeconds*/, int64_t /*bytesPerSecond*/) {}
  // kMsgDownloadPaused (2130): lParam 1 paused, 0 resumed.
  virtual void OnDownloadPaused(bool /*paused*/) {}

  // The launcher's download statistics (save\Log.json).
  virtual int64_t StatsDownloadSize() { return 0; }
  virtual void SetStatsDownloadSize(int64_t /*bytes*/) {}
  // After a finished batch: the average speed and bytes, and seconds to add.
  virtual void UpdateDownloadStats(int64_t /*bytesPerSecond*/, int64_t /*bytes*/,
                                   int64_t /*addSeconds*/) {}

  // Telemetry senders.
  virtual void SendLauncherEvent(const std::string& /*printInfo*/, const std::string& /*speed*/,
                                 const std::string& /*size*/, const std::string& /*actionType*/,
                                 const std::string& /*step*/, bool /*now*/) {}
  virtual void SendLauncherDetailEvent(const std::string& /*actionId*/,
                                       const std::string& /*speed*/, const std::string& /*size*/,
                                       const std::string& /*time*/) {}
  virtual void SendAttributionEvent(const std::string& /*eventName*/, const std::string& /*value1*/,
                                    const std::string& /*value2*/, const std::string& /*value3*/) {}
};
