#include "cli/Verify.h"

#include "cli/ConsoleText.h"
#include "cli/ExitStatus.h"
#include "cli/History.h"
#include "cli/HistoryAccess.h"
#include "history/Audit.h"

namespace cli {

int verifyHistory(Session& session, const VerifyOptions& options) {
  const std::string location = historyLocation();
  history::Store store;
  if (!openHistory(session, store, location)) return kFileError;
  history::Verification found;
  std::string error;
  if (!history::verifyHistory(store, options.keptHead, found, error)) {
    session.problem("cannot verify the history " + printable(history::shownLocation(location)) + ": " +
                    printable(error));
    return kFileError;
  }
  const std::string counts = std::to_string(found.entries) + " audit entries and " +
                             std::to_string(found.records) + " records checked";
  if (!found.failure.empty()) {
    session.problem("the history " + printable(history::shownLocation(location)) +
                    " does not verify: " + printable(found.failure) + " (" + counts + " up to there)");
    return kNotVerified;
  }
  std::fprintf(session.io().out, "verified: %s; head %s\n", counts.c_str(),
               found.head.empty() ? "(empty trail)" : found.head.c_str());
  return std::fflush(session.io().out) == 0 ? kDone : kFileError;
}

}  // namespace cli
