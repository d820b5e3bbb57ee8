#include "history/ImportRules.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <tuple>

#include "data/RegionalFormat.h"
#include "history/History.h"

namespace history {

namespace {

bool sameBytes(const messwert_tag& a, const messwert_tag& b) {
  uint8_t x[messwert::kRecordSize], y[messwert::kRecordSize];
  messwert::toBytes(a, x);
  messwert::toBytes(b, y);
  return std::memcmp(x, y, sizeof x) == 0;
}

}  // namespace

ImportDecision decideImport(const std::vector<KeptCopy>& kept, const IncomingLine& line) {
  ImportDecision d;
  const messwert_tag& r = line.record;
  if (line.fromFile) {
    bool downloaded = false, sameAsDownloaded = false, sameAsFile = false, present = false;
    for (const KeptCopy& k : kept) {
      present = present || (sameBytes(k.record, r) && (k.visible || k.fromFile));
      if (!k.visible) continue;
      const bool same = sameLine(k.record, k.flagged, r, line.flagged);
      if (!k.fromFile) {
        downloaded = true;
        sameAsDownloaded = sameAsDownloaded || same;
      } else {
        sameAsFile = sameAsFile || same;
      }
    }
    if (downloaded) {
      d.outcome = sameAsDownloaded ? ImportOutcome::known : ImportOutcome::differing;
    } else if (line.insideDownload) {
      d.outcome = ImportOutcome::insideDownload;
    } else if (line.disagrees) {
      d.outcome = ImportOutcome::disagreeing;
    } else if (sameAsFile || present) {
      d.outcome = ImportOutcome::known;
    } else {
      d.outcome = ImportOutcome::added;
      d.insert = true;
    }
    return d;
  }
  for (const KeptCopy& k : kept) {
    if (k.visible && line.flagged && !k.flagged && !k.fromFile && k.record.humidityRaw == r.humidityRaw &&
        k.record.temperatureRaw == r.temperatureRaw)
      return d;  // known: kept clean
  }
  for (size_t i = 0; i < kept.size(); ++i) {
    const KeptCopy& k = kept[i];
    if (!k.visible || !(k.flagged || k.fromFile)) continue;
    if (k.fromFile ? sameLine(k.record, k.flagged, r, line.flagged)
                   : k.flagged && !line.flagged && k.record.humidityRaw == r.humidityRaw &&
                         k.record.temperatureRaw == r.temperatureRaw)
      d.retire.push_back(i);
  }
  bool present = false;
  for (size_t i = 0; i < kept.size(); ++i) {
    const bool retired = std::find(d.retire.begin(), d.retire.end(), i) != d.retire.end();
    const KeptCopy& k = kept[i];
    present = present || (!retired && sameBytes(k.record, r) && (k.visible || !k.fromFile));
  }
  d.insert = !present;
  d.outcome = d.insert && d.retire.empty() ? ImportOutcome::added : ImportOutcome::known;
  return d;
}

std::vector<bool> disagreeingLines(const std::vector<messwert_tag>& records,
                                   const std::vector<bool>& flagged) {
  std::vector<bool> refused(records.size(), false);
  // Per sensor, quantity and count: how many lines show each value (as the file writes it).
  using Key = std::tuple<uint16_t, int, uint16_t>;
  std::map<Key, std::map<std::string, int64_t>> shown;
  const auto keyOf = [](const messwert_tag& r, int quantity) {
    return Key{r.sensorSerialNumber, quantity, quantity == 0 ? r.humidityRaw : r.temperatureRaw};
  };
  const auto valueOf = [](const messwert_tag& r, int quantity) {
    return csv::formatValue(quantity == 0 ? r.humidity : r.temperature, '.');
  };
  for (size_t i = 0; i < records.size(); ++i) {
    if (i < flagged.size() && flagged[i]) continue;
    for (int quantity = 0; quantity < 2; ++quantity)
      ++shown[keyOf(records[i], quantity)][valueOf(records[i], quantity)];
  }
  // The value that stands for each count: the one most lines show, none on a tie.
  std::map<Key, std::string> standing;
  for (const auto& [key, values] : shown) {
    if (values.size() < 2) continue;
    int64_t most = 0, ties = 0;
    std::string best;
    for (const auto& [value, n] : values) {
      if (n > most) {
        most = n;
        best = value;
        ties = 1;
      } else if (n == most) {
        ++ties;
      }
    }
    standing[key] = ties == 1 ? best : std::string();
  }
  for (size_t i = 0; i < records.size(); ++i) {
    if (i < flagged.size() && flagged[i]) continue;
    for (int quantity = 0; quantity < 2; ++quantity) {
      const auto it = standing.find(keyOf(records[i], quantity));
      if (it != standing.end() && it->second != valueOf(records[i], quantity)) refused[i] = true;
    }
  }
  return refused;
}

void countOutcome(ImportOutcome outcome, ImportResult& result) {
  switch (outcome) {
    case ImportOutcome::added:
      ++result.added;
      break;
    case ImportOutcome::known:
      break;
    case ImportOutcome::differing:
      ++result.differing;
      break;
    case ImportOutcome::insideDownload:
      ++result.differing;
      ++result.insideDownload;
      break;
    case ImportOutcome::disagreeing:
      ++result.differing;
      ++result.disagreeing;
      break;
  }
}

bool DownloadSpans::covers(int64_t time) const {
  for (const auto& [first, last] : spans)
    if (time >= first && time <= last) return true;
  return false;
}

}  // namespace history
