// A spreadsheet of a logger's readings (Office Open XML, .xlsx): a sheet of readings with real dates
// and numbers, a sheet of excursions and a sheet of statistics and limits. Written with libxlsxwriter;
// no Qt, so the command line and the window write the same file.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "history/History.h"
#include "history/Limits.h"

namespace history {

struct XlsxInput {
  std::string serial;                                  // the logger (as the history keeps it, Windows-1252)
  LoggerLabel label;                                   // its name and place (UTF-8), shown beside it
  const std::vector<StoredRecord>* records = nullptr;  // one logger's, in time order
  std::map<int64_t, std::string> sources;              // a reading's source by StoredRecord::download, UTF-8
  std::map<uint16_t, Limits> limits;                   // per sensor; a sensor not in it has none
  // The zones the logger's clock followed: each reading gets its UTC offset beside its time; unset
  // when none was recorded.
  std::optional<ClockOffsets> clock;
  double deltaHOverR = 10000.0;  // K, for the mean kinetic temperature
  // The workbook's own properties: the program that made it ("Tarnwick 1.4.0") and its creator
  // (empty: the user this process runs as).
  std::string application;
  std::string creator;
};

// A sheet holds at most this many readings (the format's rows, less the header); more go on to
// "Readings 2", "Readings 3", ...
constexpr int64_t kXlsxReadingsPerSheet = 1048575;

// The workbook's bytes. It is formed in a private temporary folder (removed again, and by a stopping
// signal too) and read back, so that the caller writes it where it wants, e.g. through SafeFile.
// False with a message on failure, or "cancelled" once `cancel` is set.
bool xlsxBytes(const XlsxInput& input, std::string& bytes, std::string& error,
               const std::atomic<bool>* cancel = nullptr);

}  // namespace history
