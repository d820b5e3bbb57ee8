// The report of a logger's readings over a range: an A4 PDF of as many pages as it takes, for a
// person who has to show that goods stayed within their limits and sign for it. It names the logger,
// its firmware, the clock's zone, where the readings came from, the limits and alarm rules, draws the
// readings with the limits and the excursions, gives the statistics and every excursion, one verdict
// line, the SHA-256 digest of the readings (history/Digest.h) and lines to sign.
//
// This header is free of Qt so that the command line can make a report; the drawing behind it needs a
// Qt GUI application in the process (GuiSession makes one where there is none).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/Excursions.h"
#include "history/History.h"
#include "history/Limits.h"
#include "history/LoggerContext.h"

namespace report {

// Where readings of the report came from: one import of the history.
struct Source {
  int64_t when = 0;        // seconds since 1970 (UTC) of the download or of the file's import
  bool fromFile = false;   // a CSV file opened into the history, not a download
  std::string file;        // the file the download was written to, or the file read
  std::string host, user;  // the computer and the user that downloaded; empty when not recorded
  std::string device;      // "USB", "virtual"; empty when not recorded
};

struct Input {
  std::string serial;    // the logger's serial number as the history keeps it
  std::string firmware;  // the firmware version last seen; empty: not recorded
  // The zones the logger's clock followed (the PCs' zones when its clock was set), which give every
  // time shown its offset from UTC; unset when none was recorded.
  std::optional<history::ClockOffsets> clock;
  int64_t from = INT64_MIN, to = INT64_MAX;  // the range asked for, in StoredRecord::time
  std::vector<uint16_t> sensorsAsked;        // empty: every sensor
  // The readings of one logger in the order Store::scan hands them out; the digest follows this order.
  std::vector<history::StoredRecord> records;
  std::map<uint16_t, history::Limits> limits;  // per sensor; a sensor not in it has none
  std::string limitChange;                     // the latest change of the limits, one line; empty: none
  // Every change of the limits of the logger and of these sensors, oldest first: the limits the verdict
  // applies are what they made.
  std::vector<history::LimitChange> limitChanges;
  history::LoggerLabel label;                       // the logger's name and place
  std::vector<history::ExcursionComment> comments;  // on the logger's excursions, oldest first
  std::map<int64_t, Source> sources;                // by StoredRecord::download
  std::string version;                              // Tarnwick's
  int64_t madeAt = 0;                               // seconds since 1970 (UTC)
  double deltaHOverR = 10000.0;                     // K, for the mean kinetic temperature
  std::string auditHead;                            // the history's audit trail head; empty: none kept
  // The logger's signatures; the sign-off page lists those of exactly this report's readings.
  std::vector<history::KeptSignature> signatures;
};

struct Summary {
  int pages = 0;
  int64_t readings = 0;
  int64_t alarms = 0;
  std::string verdict;  // the verdict line as printed
  std::string digest;   // the readings' SHA-256, hexadecimal
};

// Called now and then with the share done (0 to 1); returning false stops the report.
using Progress = std::function<bool(double done)>;

// Takes what the history keeps around the logger: limits, the latest limit change, the clock's zones,
// the firmware and where each download was made.
void takeContext(Input& input, const history::LoggerContext& context);

// Forms the PDF in memory. Runs on any thread once a Qt GUI application exists. False with a message
// when it cannot be made, or "cancelled" when `progress` said stop.
bool makePdf(const Input& input, std::string& pdf, Summary& summary, std::string& error,
             const Progress& progress = Progress());

// The verdict line of a result: "Within limits", "No limits set", "No readings", or "N alarms: " and
// the first alarms (sensor, quantity, side, start, duration). Times carry the offset when known.
std::string verdictLine(const std::vector<history::Excursion>& excursions, const std::string& verdict,
                        const std::optional<history::ClockOffsets>& clock);

// A time as the report prints it: "2026-03-02T04:40:06+01:00" with a known offset, else
// "2026-03-02 04:40:06".
std::string timeText(int64_t seconds, const std::optional<int32_t>& utcOffset);

// A Qt GUI application for a program without one (the command line): made on the offscreen platform,
// so no display is needed; nothing when the process has one already.
class GuiSession {
 public:
  GuiSession();
  ~GuiSession();
  GuiSession(const GuiSession&) = delete;
  GuiSession& operator=(const GuiSession&) = delete;

 private:
  struct App;
  std::unique_ptr<App> app_;
};

}  // namespace report
