#include "cli/History.h"

#include "cli/ExitStatus.h"

namespace cli {

void importIntoHistory(Session& session, const ScannedLogger&, const std::string&,
                       const std::vector<messwert_tag>&) {
  session.problem("TEMPORARY: history store not merged yet");
}

int history(Session& session, const HistoryOptions&) {
  session.problem("TEMPORARY: history store not merged yet");
  return kFailed;
}

}  // namespace cli
