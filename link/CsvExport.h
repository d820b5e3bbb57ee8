// The file side of a finished transfer: the CSV export of a measurement download and the reports
// of a file that could not be written.
#pragma once

#include <string>
#include <vector>

#include "data/RegionalFormat.h"
#include "link/WindowPort.h"

class USBInterface;
class WindowPort;

// Asks where the download goes and writes the header and one line per record of `measurements` (the
// first `memUsed` of them), logging one line per record, into that file, or hands the text only to the
// caller (SaveTarget::CallerOnly). Clears `downloadActive` and reports "Download finished" only when
// the whole text has gone where it was to go; a cancel or a file failure leaves the flag and the
// records as they are. Ends the link's Download operation with its outcome.
void exportMeasurements(USBInterface& link, const RegionalFormat& format);

// The file's text for the first `count` of `records`: the header and a line per record with a valid
// time stamp. Logs each record's position and date, or why it is left out; `written` gets the records
// that have a line.
std::string formatMeasurements(WindowPort& window, const std::vector<messwert_tag>& records, size_t count,
                               const RegionalFormat& format, std::vector<messwert_tag>& written);

class SafeFile;

// Asks for the file of a memory dump with its save dialog and opens it (openSaveFile). A cancel logs
// `cancelLine`. True when `file` is open; otherwise `failure` says why (Cancelled or FileError).
bool openDumpFile(WindowPort& window, SafeFile& file, const char* cancelLine, Outcome& failure);
// Opens the chosen `path`. A file that cannot be created or may not be written gets the error box and
// its log line (false); a file written in place (its folder takes no new file) says so in the log.
bool openSaveFile(WindowPort& window, SafeFile& file, const std::string& path);
// The error box and the log line for a file that could not be written completely.
void reportFileWriteError(WindowPort& window);
