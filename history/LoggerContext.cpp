#include "history/LoggerContext.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "history/Audit.h"

namespace history {

std::string whenAndWhoText(int64_t utc, const Computer& computer) {
  const std::time_t t = static_cast<std::time_t>(utc);
  std::tm parts{};
  char when[40] = "?";
  if (gmtime_r(&t, &parts) != nullptr) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &parts);
  std::string who = computer.user.empty() ? std::string("unknown user") : computer.user;
  if (!computer.host.empty()) who += " on " + computer.host;
  return std::string(when) + ", " + who;
}

std::string limitChangeText(const LimitChange& change) {
  return whenAndWhoText(change.utc, change.who) + ", " +
         (change.sensor ? "sensor " + std::to_string(*change.sensor) : std::string("the logger")) + ": " +
         (change.before.empty() ? std::string("none") : change.before) + " -> " +
         (change.after.empty() ? std::string("none") : change.after) +
         (change.reason.empty() ? std::string() : ", reason: " + change.reason);
}

std::string loggerTitle(const std::string& serial, const LoggerLabel& label) {
  if (label.empty()) return serial;
  if (label.name.empty()) return serial + " (" + label.place + ")";
  if (label.place.empty()) return serial + " (" + label.name + ")";
  return serial + " (" + label.name + ", " + label.place + ")";
}

bool readLoggerContext(Store& store, const std::string& logger, const std::vector<uint16_t>& sensors,
                       int64_t now, LoggerContext& context, std::string& error) {
  for (uint16_t sensor : sensors) {
    Limits limits;
    bool set = false;
    if (!store.effectiveLimits(logger, sensor, limits, set, error)) return false;
    if (set) context.limits[sensor] = limits;
  }
  std::vector<LimitChange> changes;
  if (!store.limitChanges(logger, changes, error)) return false;
  if (!changes.empty()) context.limitChange = limitChangeText(changes.back());
  for (const LimitChange& change : changes)
    if (!change.sensor || std::find(sensors.begin(), sensors.end(), *change.sensor) != sensors.end())
      context.limitChanges.push_back(change);
  if (!store.loggerLabel(logger, context.label, error) ||
      !store.excursionComments(logger, context.comments, error))
    return false;
  std::vector<ClockZoneRow> zones;
  if (!store.clockZones(logger, zones, error)) return false;
  context.clock.emplace(clockOffsets(zones, now));
  context.firmware = store.firmwareLastSeen(logger);
  if (context.firmware.empty() && !store.lastError().empty()) {
    error = store.lastError();
    return false;
  }
  std::vector<DownloadRow> rows = store.downloads(logger);
  if (rows.empty() && !store.lastError().empty()) {
    error = store.lastError();
    return false;
  }
  for (DownloadRow& row : rows) context.downloads.emplace(row.id, std::move(row));
  if (store.isServer()) return true;
  std::vector<KeptSignature> signatures;
  if (!readSignatures(store, context.keys, signatures, error) || !store.auditTrail(
                                                                     [&](const AuditEntry& e) {
                                                                       context.auditHead = e.hash;
                                                                       return true;
                                                                     },
                                                                     error))
    return false;
  for (const KeptSignature& kept : signatures)
    if (kept.statement.logger == logger) context.signatures.push_back(kept);
  return true;
}

std::vector<uint16_t> sensorsOf(const std::vector<StoredRecord>& records) {
  std::vector<uint16_t> sensors;
  for (const StoredRecord& r : records)
    if (std::find(sensors.begin(), sensors.end(), r.record.sensorSerialNumber) == sensors.end())
      sensors.push_back(r.record.sensorSerialNumber);
  return sensors;
}

void sortAsStored(std::vector<StoredRecord>& records) {
  std::stable_sort(records.begin(), records.end(), [](const StoredRecord& a, const StoredRecord& b) {
    if (a.time != b.time) return a.time < b.time;
    if (a.record.sensorSerialNumber != b.record.sensorSerialNumber)
      return a.record.sensorSerialNumber < b.record.sensorSerialNumber;
    uint8_t x[32], y[32];
    messwert::toBytes(a.record, x);
    messwert::toBytes(b.record, y);
    return std::memcmp(x, y, sizeof x) < 0;
  });
}

}  // namespace history
