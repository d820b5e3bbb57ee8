#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "history/Audit.h"
#include "history/History.h"
#include "history/Signing.h"

namespace history {

namespace {

bool carried(const std::string& kind) {
  return kind == kAuditKeyRegistered || kind == kAuditKeyRetired || kind == kAuditSignature;
}

// Keys and signatures go over as entries of the target's trail, in their order, each once. The heads
// of the source's trail that its signatures name are noted first (kAuditTrailCopied), so that they
// still stand before the signatures there.
bool copyKeysAndSignatures(Store& from, Store& to, CopyResult& result, std::string& error) {
  if (from.isServer()) return true;  // a server's history keeps no keys or signatures
  std::vector<AuditEntry> wanted;
  std::string hashes, head;
  if (!from.auditTrail(
          [&](const AuditEntry& e) {
            hashes += (hashes.empty() ? "" : ",") + e.hash;
            head = e.hash;
            if (carried(e.kind)) wanted.push_back(e);
            return true;
          },
          error))
    return false;
  if (wanted.empty()) return true;  // nothing asks the target for a trail
  std::set<std::pair<std::string, std::string>> there;
  if (!to.auditTrail(
          [&](const AuditEntry& e) {
            if (carried(e.kind)) there.emplace(e.kind, e.detail);
            return true;
          },
          error))
    return false;
  std::vector<AuditEntry> missing;
  for (const AuditEntry& e : wanted)
    if (there.count({e.kind, e.detail}) == 0) missing.push_back(e);
  if (missing.empty()) return true;
  if (!to.appendAudit(kAuditTrailCopied, "", 0,
                      AuditDetail()
                          .add("from", shownLocation(from.path()))
                          .add("head", head)
                          .add("hashes", hashes)
                          .text(),
                      error))
    return false;
  for (const AuditEntry& e : missing) {
    if (!to.appendAudit(e.kind, e.logger, e.subject, e.detail, error)) return false;
    ++result.notes;
  }
  return true;
}

}  // namespace

bool copyHistory(Store& from, Store& to, const std::function<void(int64_t done, int64_t total)>& progress,
                 CopyResult& result, std::string& error) {
  result = CopyResult{};
  const std::vector<DownloadRow> downloads = from.downloads("");
  if (!from.lastError().empty()) {
    error = from.lastError();
    return false;
  }
  int64_t done = 0;
  const int64_t total = static_cast<int64_t>(downloads.size());
  if (progress) progress(0, total);
  // A logger at a time: its records, by the download they are kept from, go over download by
  // download, oldest first.
  std::map<std::string, std::vector<const DownloadRow*>> byLogger;
  for (const DownloadRow& row : downloads) byLogger[row.logger].push_back(&row);
  for (const auto& [logger, rows] : byLogger) {
    std::map<int64_t, std::vector<StoredRecord>> kept;
    Query q;
    q.logger = logger;
    if (!from.scan(
            q,
            [&](const StoredRecord& r) {
              kept[r.download].push_back(r);
              return true;
            },
            error))
      return false;
    for (const DownloadRow* row : rows) {
      int64_t added = 0;
      const std::vector<StoredRecord>& records = kept[row->id];
      if (!to.copyDownload(*row, records, added, error)) return false;
      ++result.downloads;
      result.records += static_cast<int64_t>(records.size());
      result.added += added;
      if (progress) progress(++done, total);
    }
  }
  // What was noted of each logger beside its readings: limits and their changes, the zones its clock
  // followed, the firmware versions it reported outside downloads. Rows the target has are skipped.
  for (const std::string& logger : from.loggers()) {
    std::vector<LimitChange> changes;
    std::vector<LimitsRow> rows;
    int64_t added = 0;
    if (!from.limitChanges(logger, changes, error) || !from.limitRows(logger, rows, error) ||
        !to.copyLimitChanges(logger, changes, rows, added, error))
      return false;
    result.notes += added;
    std::vector<ClockZoneRow> zones, zonesThere;
    if (!from.clockZones(logger, zones, error) || !to.clockZones(logger, zonesThere, error)) return false;
    for (const ClockZoneRow& zone : zones) {
      const bool there = std::any_of(zonesThere.begin(), zonesThere.end(), [&](const ClockZoneRow& z) {
        return z.utc == zone.utc && z.kind == zone.kind && z.zone.name == zone.zone.name &&
               z.zone.offset == zone.zone.offset;
      });
      if (there) continue;
      if (!to.recordClockZone(logger, zone.utc, zone.zone, zone.kind, error)) return false;
      zonesThere.push_back(zone);
      ++result.notes;
    }
    std::vector<std::pair<int64_t, std::string>> seen, seenThere;
    if (!from.firmwareSeen(logger, seen, error) || !to.firmwareSeen(logger, seenThere, error)) return false;
    for (const auto& version : seen) {
      if (std::find(seenThere.begin(), seenThere.end(), version) != seenThere.end()) continue;
      if (!to.recordFirmware(logger, version.first, version.second, error)) return false;
      seenThere.push_back(version);
      ++result.notes;
    }
    // Names and places with their changes, and the comments on excursions, each once.
    std::vector<LabelChange> labels, labelsThere;
    if (!from.labelChanges(logger, labels, error) || !to.labelChanges(logger, labelsThere, error))
      return false;
    const auto sameLabel = [](const LoggerLabel& a, const LoggerLabel& b) {
      return a.name == b.name && a.place == b.place;
    };
    for (const LabelChange& change : labels) {
      const bool there = std::any_of(labelsThere.begin(), labelsThere.end(), [&](const LabelChange& c) {
        return c.utc == change.utc && c.who.host == change.who.host && c.who.user == change.who.user &&
               sameLabel(c.before, change.before) && sameLabel(c.after, change.after);
      });
      if (there) continue;
      if (!to.copyLabelChange(logger, change, error)) return false;
      labelsThere.push_back(change);
      ++result.notes;
    }
    std::vector<ExcursionComment> comments, commentsThere;
    if (!from.excursionComments(logger, comments, error) ||
        !to.excursionComments(logger, commentsThere, error))
      return false;
    for (const ExcursionComment& comment : comments) {
      const bool there =
          std::any_of(commentsThere.begin(), commentsThere.end(), [&](const ExcursionComment& c) {
            return c.sensor == comment.sensor && c.quantity == comment.quantity && c.start == comment.start &&
                   c.utc == comment.utc && c.who.host == comment.who.host && c.who.user == comment.who.user &&
                   c.cause == comment.cause && c.action == comment.action;
          });
      if (there) continue;
      if (!to.addExcursionComment(logger, comment, error)) return false;
      commentsThere.push_back(comment);
      ++result.notes;
    }
  }
  if (!from.lastError().empty()) {
    error = from.lastError();
    return false;
  }
  return copyKeysAndSignatures(from, to, result, error);
}

}  // namespace history
