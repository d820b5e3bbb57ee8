#include "cli/Verify.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <nlohmann/json.hpp>

#include "cli/ConsoleText.h"
#include "cli/ExitStatus.h"
#include "cli/History.h"
#include "cli/HistoryAccess.h"
#include "history/Audit.h"
#include "history/Digest.h"
#include "history/Excursions.h"
#include "history/ReportManifest.h"
#include "history/Signing.h"

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

namespace cli {

namespace {

constexpr char kManifestFormat[] = "tarnwick report manifest 1";

std::string capitalised(std::string text) {
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

}  // namespace

#ifdef TARNWICK_HAVE_REPORT
std::string reportManifest(const report::Input& input, const history::LoggerContext& context,
                           const report::Summary& summary, const std::string& pagesDigest) {
  nlohmann::json signatures = nlohmann::json::array();
  for (const history::KeptSignature& kept : context.signatures) {
    if (!history::statementCovers(kept.statement, summary.digest, input.from, input.to, input.sensorsAsked))
      continue;
    const auto key = context.keys.find(kept.statement.keyFingerprint);
    if (key == context.keys.end()) continue;
    signatures.push_back({{"entry", kept.seq},
                          {"statement", kept.statementText},
                          {"signature", kept.signature},
                          {"public_key", key->second.key.hex()},
                          {"name", key->second.name},
                          {"login", key->second.login}});
  }
  const nlohmann::json manifest = {{"format", kManifestFormat},
                                   {"logger", input.serial},
                                   {"sensors", input.sensorsAsked},
                                   {"from", input.from},
                                   {"to", input.to},
                                   {"readings", summary.readings},
                                   {"digest", summary.digest},
                                   {"verdict", summary.verdict},
                                   {"audit_head", context.auditHead},
                                   {"pages_sha256", pagesDigest},
                                   {"signatures", signatures}};
  return manifest.dump(2, ' ', true, nlohmann::json::error_handler_t::replace) + "\n";
}
#endif

int verifyReport(Session& session, const std::string& file) {
  auto fails = [&](const std::string& what) {
    session.problem(printable(file) + " does not verify: " + what);
    return kNotVerified;
  };
  std::ifstream in(file, std::ios::binary);
  std::string pdf;
  if (in) {
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || static_cast<uint64_t>(size) > history::kMaxReportSize) {
      session.problem(printable(file) + ": not a report this checks (over 512 MB, or unreadable)");
      return kFileError;
    }
    pdf.resize(static_cast<size_t>(size));
    in.seekg(0);
    in.read(pdf.data(), size);
  }
  if (!in) {
    session.problem("cannot read " + printable(file));
    return kFileError;
  }
  std::string text, pages, error;
  if (!history::readManifest(pdf, text, pages, error)) return fails(error);
  const nlohmann::json manifest = nlohmann::json::parse(text, nullptr, false);
  if (!manifest.is_object() || manifest.value("format", "") != kManifestFormat)
    return fails("its manifest is not one Tarnwick writes");
  history::Statement selection;
  try {
    selection.logger = manifest.at("logger").get<std::string>();
    selection.sensors = manifest.at("sensors").get<std::vector<uint16_t>>();
    selection.from = manifest.at("from").get<int64_t>();
    selection.to = manifest.at("to").get<int64_t>();
    selection.digest = manifest.at("digest").get<std::string>();
    selection.verdict = manifest.at("verdict").get<std::string>();
    selection.auditHead = manifest.at("audit_head").get<std::string>();
    if (manifest.at("pages_sha256").get<std::string>() != pages)
      return fails("its pages were changed after it was made (their digest is not the manifest's)");
  } catch (const std::exception&) {
    return fails("its manifest is not one Tarnwick writes");
  }
  struct Signed {
    int64_t entry;
    std::string statement, signature, name;
    history::Statement said;
  };
  std::vector<Signed> signatures;
  const nlohmann::json list = manifest.value("signatures", nlohmann::json::array());
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string which = "signature " + std::to_string(i + 1) + " of the manifest";
    Signed s;
    history::PublicKey key;
    try {
      s.entry = list[i].at("entry").get<int64_t>();
      s.statement = list[i].at("statement").get<std::string>();
      s.signature = list[i].at("signature").get<std::string>();
      s.name = list[i].at("name").get<std::string>();
      if (!history::parsePublicKey("tarnwick-ed25519 " + list[i].at("public_key").get<std::string>(), key,
                                   error))
        return fails(which + ": its key is not one");
    } catch (const std::exception&) {
      return fails(which + " is not one Tarnwick writes");
    }
    if (!history::parseStatement(s.statement, s.said, error)) return fails(which + ": " + error);
    if (s.said.keyFingerprint != key.fingerprint() ||
        !history::verifySignature(key, s.statement, s.signature))
      return fails(which + " (" + s.said.meaning + " by " + s.said.signerName +
                   ") does not match its statement and key: one of them was changed");
    if (!history::statementCovers(s.said, selection.digest, selection.from, selection.to, selection.sensors))
      return fails(which + " (" + s.said.meaning + " by " + s.said.signerName + ") is of other readings");
    signatures.push_back(s);
  }

  std::string against;
  if (historyNamed()) {
    const std::string location = historyLocation();
    history::Store store;
    if (!openHistory(session, store, location)) return kFileError;
    history::Query query;
    query.logger = selection.logger;
    query.sensors = selection.sensors;
    query.from = selection.from;
    query.to = selection.to;
    history::ReadingsDigest digest;
    std::string limitsError;
    history::ExcursionFinder finder([&](uint16_t sensor) {
      history::Limits limits;
      bool set = false;
      if (!store.effectiveLimits(query.logger, sensor, limits, set, limitsError) && limitsError.empty())
        limitsError = "cannot read the limits";
      return set ? limits : history::Limits{};
    });
    if (!store.scan(
            query,
            [&](const history::StoredRecord& r) {
              digest.add(r);
              finder.add(r);
              return true;
            },
            error) ||
        !limitsError.empty()) {
      session.problem("cannot read the history: " + printable(limitsError.empty() ? error : limitsError));
      return kFileError;
    }
    if (digest.hex() != selection.digest)
      return fails(
          "the readings of " + printable(selection.logger) +
          " in the history no longer have the report's digest (a reading was changed, removed or added)");
    // The verdict line starts with the short verdict ("Within limits", "2 alarms", ...).
    const std::string verdictNow = history::verdict(finder.finish());
    if (selection.verdict.compare(0, verdictNow.size(), verdictNow) != 0)
      return fails("the verdict for these readings in the history is now \"" + verdictNow +
                   "\"; the report says \"" + selection.verdict + "\"");
    std::map<std::string, history::RegisteredKey> keys;
    std::vector<history::KeptSignature> kept;
    bool headFound = selection.auditHead.empty();
    if (!history::readSignatures(store, keys, kept, error) || !store.auditTrail(
                                                                  [&](const history::AuditEntry& e) {
                                                                    headFound = headFound ||
                                                                                e.hash == selection.auditHead;
                                                                    return true;
                                                                  },
                                                                  error)) {
      session.problem("cannot read the history's audit trail: " + printable(error));
      return kFileError;
    }
    if (!headFound) return fails("the audit trail head it names is not in the history's trail");
    for (const Signed& s : signatures) {
      const bool there = std::any_of(kept.begin(), kept.end(), [&](const history::KeptSignature& k) {
        return k.statementText == s.statement && k.signature == s.signature;
      });
      if (!there)
        return fails("the signature " + s.said.meaning + " by " + s.said.signerName +
                     " is not in the history's audit trail");
    }
    against = "; it agrees with the history " + printable(history::shownLocation(location));
  }
  std::string names;
  for (const Signed& s : signatures)
    names += (names.empty() ? "" : ", ") + capitalised(s.said.meaning) + " by " + s.said.signerName;
  std::fprintf(session.io().out, "verified: %s, %s; %zu signature%s%s%s%s\n",
               printable(selection.logger).c_str(), selection.verdict.c_str(), signatures.size(),
               signatures.size() == 1 ? "" : "s", names.empty() ? "" : " (",
               names.empty() ? "" : (printable(names) + ")").c_str(), against.c_str());
  return std::fflush(session.io().out) == 0 ? kDone : kFileError;
}

}  // namespace cli
