// The checks anyone can run on a history: `history verify` walks its audit trail and the rows the
// trail speaks for.
#pragma once

#include <string>

#include "cli/Session.h"
#include "history/LoggerContext.h"

#ifdef TARNWICK_HAVE_REPORT
#include "report/Report.h"
#endif

namespace cli {

// Prints "verified: N audit entries, M records; head H" and returns kDone, or says the first thing
// that does not hold and returns kNotVerified. `keptHead`: a head printed earlier that must still be
// in the trail.
struct VerifyOptions {
  std::string keptHead;
};
int verifyHistory(Session& session, const VerifyOptions& options);

#ifdef TARNWICK_HAVE_REPORT
// The manifest a report carries (JSON): the logger, the selection, the readings' digest, the verdict,
// the audit trail's head, the pages' digest and each signature of exactly these readings with the
// signer's public key.
std::string reportManifest(const report::Input& input, const history::LoggerContext& context,
                           const report::Summary& summary, const std::string& pagesDigest);
#endif

// tarnwick-cli verify FILE.pdf: the report's pages against its manifest, each signature against its
// key and statement, and, when --history or TARNWICK_HISTORY names a history, the manifest against it
// (the same digest and verdict for the same selection, the head and the signatures in its trail).
// kDone, or kNotVerified naming the part that fails.
int verifyReport(Session& session, const std::string& file);

}  // namespace cli
