#include "history/FileOwner.h"

#include "history/History.h"

namespace history {

bool fileOwner(Store& store, const std::string& file, const std::string& stem,
               const std::vector<messwert_tag>& records, const std::vector<bool>& checksumError,
               FileOwner& owner, std::string& error) {
  owner = FileOwner{};
  // Each question reports a failure only through lastError(): an empty answer alone does not tell
  // "none" from "could not read".
  const auto failed = [&] {
    if (store.lastError().empty()) return false;
    error = store.lastError();
    owner = FileOwner{};
    return true;
  };
  owner.known = store.loggerOfDownloadFile(file);
  if (failed()) return false;
  if (!owner.known.empty()) return true;
  owner.suggested = store.loggerMatching(records, checksumError);
  if (failed()) return false;
  if (!owner.suggested.empty() || stem.empty()) return true;
  const std::vector<std::string> loggers = store.loggers();
  if (failed()) return false;
  for (const std::string& logger : loggers)
    if (logger == stem) owner.suggested = logger;
  return true;
}

}  // namespace history
