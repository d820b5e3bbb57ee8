// The commands of tarnwick-cli. Each sends the logger what the window sends for the same operation,
// through the same link and data code, and returns an exit status (cli/ExitStatus.h).
#pragma once

#include <string>

#include "cli/Session.h"

namespace cli {

int listLoggers(Session& session, bool json);

struct DownloadOptions {
  std::string serial;        // empty: the one attached logger
  std::string output = "-";  // a file, or "-" for standard output
  std::string format = "csv";
  bool all = false;       // every attached logger, one file each in outputDir
  std::string outputDir;  // with `all`
  bool history = true;    // import into the history store
};
int download(Session& session, const DownloadOptions& options);

int setTime(Session& session, const std::string& serial);
// Refuses (kRefused) when the image would overwrite records that no download in the history holds,
// unless `force`.
int firmwareUpdate(Session& session, const std::string& serial, bool force = false);
// The service console's raw command; the logger's answer goes to standard output.
int sendRaw(Session& session, const std::string& serial, const std::string& command);

// The file name a scheduled download gives a logger's records: <serial>_<yyyy-mm-dd>.<extension>,
// the serial number reduced to characters that are safe in a file name.
std::string scheduledFileName(const std::string& serialText, bool hasSerial, std::time_t day,
                              const std::string& extension);

}  // namespace cli
