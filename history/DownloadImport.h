// A logger's download into the history: one import for the window and the command line, from the
// records the link reported with the download (LinkEvent DownloadSaved), on the caller's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "data/Messwert.h"
#include "history/History.h"

namespace history {

// The name the history keeps a logger under: its serial-number string as the log shows it
// (Windows-1252, loggerText), or this for a logger that reports none (or an empty one).
extern const char kNoSerialLogger[];  // "no serial number"
std::string loggerKey(const std::string& serialText);

// The name the history keeps a file under: absolute, so that the file is known again from any folder.
std::string fileKey(const std::string& file);

struct DownloadImport {
  std::string database;  // the history's file; empty when no home folder is known
  std::string logger;    // the serial-number string ("" for a logger without)
  std::string device;    // where the logger was reached (kDeviceUsb, ...), empty when not known
  std::string file;      // the file the download was written to; empty when it went to no file
  std::string firmware;  // the version the logger reported, empty when not known
  int64_t now = 0;       // the moment of the download (seconds since 1970, UTC; 0: now), for the zone
  int busyTimeoutMs = kBusyTimeoutMs;
  // Called once when the wait for another program that writes the history has lasted a while.
  std::function<void()> waitNotice;
};

struct DownloadImported {
  bool ok = false;
  ImportResult result;
  std::string error;   // why not (ok false)
  std::string notice;  // what opening the history did that the user should hear of
};

// Adds the records with this computer, this PC's clock zone at `now`, the device and the firmware as
// their origin. A file
// is kept under its absolute name, a download to no file as "-".
// With `into`, the import goes through that connection (opened here when it is not open), which the
// caller goes on using afterwards; the wait notice is no longer called from it then.
DownloadImported importDownload(const DownloadImport& what, const std::vector<messwert_tag>& records,
                                Store* into = nullptr);

// The most records one download of the logger brought into the history `database` (0: none). When the
// history cannot be read, 0 and `error` says why.
int64_t downloadedRecords(const std::string& database, const std::string& serialText, std::string& error);

}  // namespace history
