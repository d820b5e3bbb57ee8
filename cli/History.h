// The history store as tarnwick-cli uses it: a download goes in, the history command reads it out.
#pragma once

#include <string>
#include <vector>

#include "cli/Session.h"
#include "data/Messwert.h"

namespace history {
class Store;
}

struct ScannedLogger;

namespace cli {

// Where this run keeps the history: --history (set here before a command runs), else
// TARNWICK_HISTORY, else the default file.
void setHistoryFlag(const std::string& location);
std::string historyLocation();
// Whether --history or TARNWICK_HISTORY named a history (rather than the default file).
bool historyNamed();

// Imports downloaded records into the history store, waiting for another program's import to end. A
// failure is reported and returns false; the download itself is done. `file` is empty when the
// records went to standard output; `firmware` the version the logger reported before it (empty: none).
bool importIntoHistory(Session& session, const ScannedLogger& logger, const std::string& file,
                       const std::vector<messwert_tag>& records, const std::string& firmware = std::string(),
                       history::Store* into = nullptr);

// The most records one download of this logger brought into the history (0: none). When the history
// cannot be read, 0 and `error` says why.
int64_t downloadedRecords(const ScannedLogger& logger, std::string& error);

struct HistoryOptions {
  std::string serial;    // empty: every logger
  int sensor = -1;       // 0 to 65535; -1: every sensor
  std::string from, to;  // ISO 8601 clock times of the logger (an offset with --serial), empty: open
  std::string format = "csv";
  bool digest = false;  // print the SHA-256 of the readings (history/Digest.h) instead of them
};
int history(Session& session, const HistoryOptions& options);

// Reads a CSV file into a logger's history: the logger whose download the history knows the file as,
// or the one `serial` confirms. Prints "N imported, M already known, K differ from the logger's
// download — not imported". A file the history knows as no download and no --serial: nothing is
// imported (kBadArguments), and the message names the logger its contents or name suggest.
struct ImportOptions {
  std::string file;
  std::string serial;
};
int importFile(Session& session, const ImportOptions& options);

// Copies the history at `from` (empty: this run's history) into the one at `to`, download by download;
// a second run adds nothing. A bar on standard error shows the downloads copied when `progress`.
struct CopyOptions {
  std::string to, from;
  bool progress = false;
};
int copyHistory(Session& session, const CopyOptions& options);
// `history check`: SQLite's check of the whole history file; a damaged one is set aside.
int checkHistory(Session& session);

// Sets a server's history up (history::setUpServer) at this run's history; prints the SQL instead with
// `print`. A file's path is refused (kBadArguments): a SQLite history needs no setting up.
struct InitOptions {
  std::string writer = "tarnwick_writer", reviewer = "tarnwick_reviewer";
  bool print = false;
};
int initHistory(Session& session, const InitOptions& options);

}  // namespace cli
