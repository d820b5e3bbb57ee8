// The checks anyone can run on a history: `history verify` walks its audit trail and the rows the
// trail speaks for.
#pragma once

#include <string>

#include "cli/Session.h"

namespace cli {

// Prints "verified: N audit entries, M records; head H" and returns kDone, or says the first thing
// that does not hold and returns kNotVerified. `keptHead`: a head printed earlier that must still be
// in the trail.
struct VerifyOptions {
  std::string keptHead;
};
int verifyHistory(Session& session, const VerifyOptions& options);

}  // namespace cli
