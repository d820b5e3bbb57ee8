// The file side of a finished transfer: the CSV export of a measurement download and the reports
// of a file that could not be written.
#pragma once

#include <string>
#include <vector>

#include "data/RegionalFormat.h"
#include "link/WindowPort.h"

class USBInterface;
class WindowPort;

// Asks for a file and writes the header and one line per record of `measurements` (the first
// `memUsed` of them), logging one line per record. Clears `downloadActive` and reports
// "Download finished" only when the whole file has been written; a cancel or a file failure leaves
// the flag and the records as they are. Ends the link's Download operation with its outcome.
void exportMeasurements(USBInterface& link, const RegionalFormat& format);

// The file's text for the first `count` of `records`: the header and a line per record with a valid
// time stamp. Logs each record's position and date, or why it is left out; `written` gets the records
// that have a line.
std::string formatMeasurements(WindowPort& window, const std::vector<messwert_tag>& records, size_t count,
                               const RegionalFormat& format, std::vector<messwert_tag>& written);

class SafeFile;

// What the file is for: the dialog of a memory dump neither offers the measurements' file name nor
// replaces a file without asking.
enum class ChosenFile { Measurements, MemoryDump };

// Asks for a file with the save dialog and opens it. A cancel logs `cancelLine`; a file that cannot
// be created or may not be written gets the error box and its log line. A file written in place
// (its folder takes no new file) says so in the log. True when `file` is open; otherwise `failure`
// says why (Cancelled or FileError).
bool openChosenFile(WindowPort& window, SafeFile& file, const char* cancelLine, ChosenFile purpose,
                    Outcome& failure);
// The error box and the log line for a file that could not be written completely.
void reportFileWriteError(WindowPort& window);
