// The commands of tarnwick-cli. Each sends the logger what the window sends for the same operation,
// through the same link and data code, and returns an exit status (cli/ExitStatus.h).
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

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

// The one rule for --serial in every command: the serial number as the logger reports it
// (Windows-1252), else the number alone (12345 for VLM12345) when no serial is that text. The indices
// of `serials` (none: a logger without serial number) that `wanted` names.
std::vector<size_t> serialMatches(const std::vector<std::optional<std::string>>& serials,
                                  const std::string& wanted);

// The file name a scheduled download gives a logger's records: <serial>_<yyyy-mm-dd>.<extension>,
// the serial number reduced to characters that are safe in a file name.
std::string scheduledFileName(const std::string& serialText, bool hasSerial, std::time_t day,
                              const std::string& extension);
// The same name, unless a logger of this run already has it (`taken`, in lower case, for file systems
// that ignore case): then <serial>-2_<yyyy-mm-dd>, -3, ... Adds the name to `taken`.
std::string uniqueFileName(std::vector<std::string>& taken, const std::string& serialText, bool hasSerial,
                           std::time_t day, const std::string& extension);

}  // namespace cli
