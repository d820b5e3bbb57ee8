#include <map>
#include <string>
#include <vector>

#include "history/History.h"

namespace history {

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
  return true;
}

}  // namespace history
