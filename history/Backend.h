// A history kept somewhere other than the local database file: what Store hands on to it. The same
// contract as Store's methods of the same names; each call returns false (or an empty list) with a
// message on failure and never throws.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "history/History.h"

namespace history {

class Backend {
 public:
  virtual ~Backend() = default;
  // How long a write waits for another program's write to the same logger before it gives up, and
  // what is told once such a wait has lasted a moment.
  virtual void setWaitLimit(int milliseconds) = 0;
  virtual void setWaitNotice(std::function<void()> notice) = 0;
  // `origin` comes checked: names cleaned, the zone valid.
  virtual bool import(const std::string& logger, const std::string& file,
                      const std::vector<messwert_tag>& records, const std::vector<bool>* checksumError,
                      const DownloadOrigin& origin, ImportResult& result, std::string& error) = 0;
  virtual bool copyDownload(const DownloadRow& download, const std::vector<StoredRecord>& records,
                            int64_t& added, std::string& error) = 0;
  virtual bool scan(const Query& q, const std::function<bool(const StoredRecord&)>& visit,
                    std::string& error) = 0;
  virtual bool loggers(std::vector<std::string>& out, std::string& error) = 0;
  virtual bool sensors(const std::string& logger, std::vector<uint16_t>& out, std::string& error) = 0;
  virtual bool downloads(const std::string& logger, std::vector<DownloadRow>& out, std::string& error) = 0;
  virtual int64_t largestDownload(const std::string& logger, std::string& error) = 0;
  virtual std::string loggerOfDownloadFile(const std::string& file, std::string& error) = 0;
  // Clock zones and firmware versions, checked by the caller on the way in and on the way out.
  virtual bool recordClockZone(const std::string& logger, int64_t utc, const Zone& zone, ClockZoneKind kind,
                               std::string& error) = 0;
  struct ZoneRow {
    int64_t utc = 0, offset = 0;
    std::string zone, kind;
  };
  virtual bool clockZones(const std::string& logger, std::vector<ZoneRow>& out, std::string& error) = 0;
  virtual bool recordFirmware(const std::string& logger, int64_t utc, const std::string& version,
                              std::string& error) = 0;
  virtual bool firmwareLastSeen(const std::string& logger, std::string& version, std::string& error) = 0;
  virtual bool firmwareSeen(const std::string& logger, std::vector<std::pair<int64_t, std::string>>& out,
                            std::string& error) = 0;
  // Limits (sensor -1: the logger's), with the same meaning as Store's; `who` and `reason` come cleaned,
  // and a change of limits that are set without a reason is refused with limitsNeedReason().
  virtual bool writeLimits(const std::string& logger, int64_t sensor, const Limits* limits,
                           const Computer& who, const std::string& reason, std::string& error) = 0;
  // Names, places and excursion comments (LoggerRecord.cpp); the texts come cleaned by noteText, and
  // a name or place not given keeps what the latest change set.
  virtual bool setLoggerLabel(const std::string& logger, const std::optional<std::string>& name,
                              const std::optional<std::string>& place, const Computer& who, int64_t utc,
                              std::string& error) = 0;
  virtual bool labelChanges(const std::string& logger, std::vector<LabelChange>& out, std::string& error) = 0;
  virtual bool copyLabelChange(const std::string& logger, const LabelChange& change, std::string& error) = 0;
  virtual bool addExcursionComment(const std::string& logger, const ExcursionComment& comment,
                                   std::string& error) = 0;
  virtual bool excursionComments(const std::string& logger, std::vector<ExcursionComment>& out,
                                 std::string& error) = 0;
  virtual bool effectiveLimits(const std::string& logger, std::optional<uint16_t> sensor, Limits& out,
                               bool& set, std::string& error) = 0;
  virtual bool limitRows(const std::string& logger, std::vector<LimitsRow>& out, std::string& error) = 0;
  virtual bool limitChanges(const std::string& logger, std::vector<LimitChange>& out, std::string& error) = 0;
  // The overview, computed by the server: each logger's row without firmware, limits and excursions;
  // a logger's first and last reading (`found` false when it has none); its readings, -1 on failure;
  // the cells of `sensors` (sorted, none twice) in [from, to], by sensor and column. Readings inside
  // [hoursFrom, hoursTo) count at the start of their hour, as envelopeColumn places them.
  virtual bool summaryRows(std::vector<LoggerSummary>& out, std::string& error) = 0;
  virtual bool timeSpan(const std::string& logger, int64_t& first, int64_t& last, bool& found,
                        std::string& error) = 0;
  virtual int64_t readingCount(const std::string& logger, std::string& error) = 0;
  virtual bool envelope(const EnvelopeQuery& q, int64_t from, int64_t to, int64_t hoursFrom, int64_t hoursTo,
                        const std::vector<uint16_t>& sensors, std::vector<EnvelopeCell>& out,
                        std::string& error) = 0;
  // `changes` and `rows` come cleaned and checked.
  virtual bool copyLimitChanges(const std::string& logger, const std::vector<LimitChange>& changes,
                                const std::vector<LimitsRow>& rows, int64_t& added, std::string& error) = 0;
  // The audit trail (Store's methods of the same names).
  virtual bool appendAudit(const std::string& kind, const std::string& logger, int64_t subject,
                           const std::string& detail, std::string& error);
  virtual bool auditTrail(const std::function<bool(const AuditEntry&)>& visit, std::string& error);
  virtual bool replacedRecords(const std::string& logger, std::vector<Store::ReplacedRecord>& out,
                               std::string& error);
  virtual std::string loggerMatching(const std::vector<messwert_tag>& records,
                                     const std::vector<bool>& checksumError, std::string& error) = 0;
};

inline bool Backend::appendAudit(const std::string&, const std::string&, int64_t, const std::string&,
                                 std::string& error) {
  error = "This history server keeps no audit trail";
  return false;
}
inline bool Backend::auditTrail(const std::function<bool(const AuditEntry&)>&, std::string& error) {
  error = "This history server keeps no audit trail";
  return false;
}
inline bool Backend::replacedRecords(const std::string&, std::vector<Store::ReplacedRecord>& out,
                                     std::string&) {
  out.clear();
  return true;
}

// The moment of the newest change of each sensor's limits (-1: the logger's).
inline std::map<int64_t, int64_t> newestChanges(const std::vector<LimitChange>& changes) {
  std::map<int64_t, int64_t> out;
  for (const LimitChange& change : changes) {
    const int64_t sensor = change.sensor ? static_cast<int64_t>(*change.sensor) : -1;
    const auto it = out.find(sensor);
    if (it == out.end() || it->second <= change.utc) out[sensor] = change.utc;
  }
  return out;
}

// Connects to a PostgreSQL server and creates or upgrades the history's schema there; null with a
// message on failure. The location is libpq's (a URI or key=value pairs) and holds no password.
std::unique_ptr<Backend> openServer(const std::string& location, std::string& error);

// The server's layout (PgSetup.cpp): the roles and the schema (`legacy`: an older Tarnwick's tables in
// public are moved in), the step of the schema's version that makes its functions the writers' only way
// in, and the grants to the writer and reviewer roles (names checked by validRoleName).
std::string serverRolesAndSchema(bool legacy, const std::string& writer, const std::string& reviewer);
std::string serverHardeningStep();
// Version 5: reasons of limit changes, names and places of loggers, comments on excursions.
std::string serverNotesStep();
std::string serverGrants(const std::string& writer, const std::string& reviewer);

// Whether a libpq location carries a password; false as well when libpq cannot read it (connecting
// then says why).
bool locationHasPassword(const std::string& location);

}  // namespace history
