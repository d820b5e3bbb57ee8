// tarnwick-cli key and sign: a reviewer's and an approver's signature in a history, and each way a
// signature is refused or found not to hold.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "CliSupport.h"
#include "cli/ExitStatus.h"
#include "cli/Signatures.h"
#include "history/Audit.h"
#include "history/History.h"
#include "history/HistorySupport.h"
#include "history/Signing.h"

using clitest::CliTest;
using clitest::runCli;

namespace {

// Runs the command with `passphrase` on a pipe that --passphrase-fd names.
clitest::Run withPassphrase(std::vector<std::string> args, const std::string& passphrase) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  const std::string line = passphrase + "\n";
  EXPECT_EQ(::write(fds[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
  ::close(fds[1]);
  args.push_back("--passphrase-fd");
  args.push_back(std::to_string(fds[0]));
  clitest::Run run = runCli(args);
  ::close(fds[0]);
  return run;
}

}  // namespace

TEST_F(CliTest, SignaturesNeedARegisteredKeyItsPassphraseAndAReviewFirst) {
  const std::string history = path("h.sqlite");
  {
    history::Store store;
    std::string error;
    ASSERT_TRUE(store.open(history, error)) << error;
    std::vector<messwert_tag> records;
    for (int minute = 0; minute < 60; minute += 10)
      for (uint16_t sensor : {1, 2})
        records.push_back(historytest::record(2026, 3, 7, 10, minute, 0, sensor));
    history::ImportResult result;
    ASSERT_TRUE(store.importDownload("VLM70001", "a.csv", records, result, error)) << error;
  }
  const std::vector<std::string> h = {"--history", history};
  auto cmd = [&](std::vector<std::string> args) {
    args.insert(args.begin(), h.begin(), h.end());
    return args;
  };
  const std::string pass = "correct horse battery";
  const auto made = withPassphrase({"key", "new"}, pass);
  ASSERT_EQ(made.status, cli::kDone) << made.err;
  struct stat st {};
  ASSERT_EQ(::stat(cli::secretKeyPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(withPassphrase({"key", "new"}, pass).status, cli::kBadArguments);  // one key, kept

  const std::vector<std::string> review = {
      "sign", "--serial", "VLM70001", "--meaning", "reviewed", "--comment", "looked at every excursion"};
  auto refused = [&](const clitest::Run& run, const std::string& why) {
    EXPECT_EQ(run.status, cli::kRefusedSignature) << run.out;
    EXPECT_NE(run.err.find(why), std::string::npos) << run.err;
  };
  refused(withPassphrase(cmd(review), pass), "is not registered in this history");
  ASSERT_EQ(runCli(cmd({"key", "register", cli::publicKeyPath(), "--name", "Anna Example"})).status,
            cli::kDone);
  refused(withPassphrase(cmd(review), "wrong passphrase"), "the passphrase does not open the key");
  const std::vector<std::string> approve = {"sign", "--serial", "VLM70001", "--meaning", "approved"};
  refused(withPassphrase(cmd(approve), pass), "have no review yet");

  const auto reviewed = withPassphrase(cmd(review), pass);
  ASSERT_EQ(reviewed.status, cli::kDone) << reviewed.err;
  EXPECT_NE(reviewed.out.find("VLM70001 reviewed by Anna Example"), std::string::npos) << reviewed.out;
  ASSERT_EQ(withPassphrase(cmd(approve), pass).status, cli::kDone);
  // Another selection has no review: approved without one only on purpose, and the statement says so.
  std::vector<std::string> sensor2 = approve;
  sensor2.insert(sensor2.end(),
                 {"--sensor", "2", "--no-review", "--from", "2026-03-07", "--to", "2026-03-07"});
  ASSERT_EQ(withPassphrase(cmd(sensor2), pass).status, cli::kDone);
  const auto sound = runCli(cmd({"history", "verify"}));
  ASSERT_EQ(sound.status, cli::kDone) << sound.err;

  history::Store store;
  std::string error;
  ASSERT_TRUE(store.open(history, error)) << error;
  std::map<std::string, history::RegisteredKey> keys;
  std::vector<history::KeptSignature> signatures;
  ASSERT_TRUE(history::readSignatures(store, keys, signatures, error)) << error;
  ASSERT_EQ(signatures.size(), 3u);
  EXPECT_EQ(signatures[0].statement.comment, "looked at every excursion");
  EXPECT_FALSE(signatures[1].statement.reviewSkipped);
  EXPECT_TRUE(signatures[2].statement.reviewSkipped);
  EXPECT_EQ(signatures[2].statement.sensors, std::vector<uint16_t>{2});

  // The report of the same readings lists both signatures of them, not the one of sensor 2 alone.
#ifdef TARNWICK_HAVE_REPORT
  const auto reported = runCli(cmd({"report", "--serial", "VLM70001", "--output", path("r.pdf")}));
  ASSERT_EQ(reported.status, cli::kDone) << reported.err;
  EXPECT_NE(reported.out.find("audit trail head: "), std::string::npos) << reported.out;
  const std::string pdfText = historytest::commandOutput("pdftotext -layout '" + path("r.pdf") + "' -");
  EXPECT_NE(pdfText.find("Reviewed by Anna Example"), std::string::npos) << pdfText;
  EXPECT_NE(pdfText.find("Approved by Anna Example"), std::string::npos) << pdfText;
  EXPECT_EQ(pdfText.find("without a review"), std::string::npos) << pdfText;
  EXPECT_NE(pdfText.find("Audit trail head"), std::string::npos);

  // The report verifies offline and against the history; a changed page or a reading edited since
  // does not.
  const auto offline = runCli({"verify", path("r.pdf")});
  ASSERT_EQ(offline.status, cli::kDone) << offline.err;
  EXPECT_NE(offline.out.find("2 signatures (Reviewed by Anna Example, Approved by Anna Example)"),
            std::string::npos)
      << offline.out;
  const auto withHistory = runCli(cmd({"verify", path("r.pdf")}));
  EXPECT_EQ(withHistory.status, cli::kDone) << withHistory.err;
  EXPECT_NE(withHistory.out.find("agrees with the history"), std::string::npos) << withHistory.out;
  // Rewritten uncompressed by another PDF tool, the pages are the same; one byte of their text is not.
  const int rewritten = std::system(("qpdf --qdf --normalize-content=n --object-streams=disable '" +
                                     path("r.pdf") + "' '" + path("plain.pdf") + "'")
                                        .c_str());
  ASSERT_TRUE(WIFEXITED(rewritten) && (WEXITSTATUS(rewritten) == 0 || WEXITSTATUS(rewritten) == 3));
  EXPECT_EQ(runCli({"verify", path("plain.pdf")}).status, cli::kDone);
  std::string plain = clitest::readFile(path("plain.pdf"));
  const size_t shown = plain.find("Tj\n") != std::string::npos ? plain.find("Tj\n") : plain.find("TJ\n");
  ASSERT_NE(shown, std::string::npos);
  const size_t last = plain.find_last_of(">)", shown);
  ASSERT_NE(last, std::string::npos);
  char& glyph = plain[last - 1];
  glyph = glyph == '0' ? '1' : '0';
  {
    std::ofstream out(path("changed.pdf"), std::ios::binary);
    out << plain;
  }
  const auto changed = runCli({"verify", path("changed.pdf")});
  EXPECT_EQ(changed.status, cli::kNotVerified);
  EXPECT_NE(changed.err.find("its pages were changed after it was made"), std::string::npos) << changed.err;
  std::filesystem::copy_file(history, path("edited.sqlite"));
  const int edited = std::system(("sqlite3 '" + path("edited.sqlite") +
                                  "' \"UPDATE measurements SET record = substr(record, 1, 12) || x'41' || "
                                  "substr(record, 14) WHERE time = (SELECT min(time) FROM measurements)\"")
                                     .c_str());
  ASSERT_EQ(edited, 0);
  const auto stale = runCli({"--history", path("edited.sqlite"), "verify", path("r.pdf")});
  EXPECT_EQ(stale.status, cli::kNotVerified);
  EXPECT_NE(stale.err.find("no longer have the report's digest"), std::string::npos) << stale.err;
#endif

  // The signatures go with a copy into another history, once, and still hold there.
  const std::string copy = path("copy.sqlite");
  ASSERT_EQ(runCli(cmd({"history", "copy", "--to", copy})).status, cli::kDone);
  ASSERT_EQ(runCli(cmd({"history", "copy", "--to", copy})).status, cli::kDone);
  const auto copied = runCli({"--history", copy, "history", "verify"});
  EXPECT_EQ(copied.status, cli::kDone) << copied.err;
  {
    history::Store there;
    std::map<std::string, history::RegisteredKey> keysThere;
    std::vector<history::KeptSignature> signaturesThere;
    ASSERT_TRUE(there.open(copy, error) && history::readSignatures(there, keysThere, signaturesThere, error))
        << error;
    EXPECT_EQ(signaturesThere.size(), 3u);
    EXPECT_EQ(keysThere.size(), 1u);
  }

  // A retired key signs nothing new; a signature made with it afterwards by other means is found.
  ASSERT_EQ(runCli(cmd({"key", "retire"})).status, cli::kDone);
  refused(withPassphrase(cmd(review), pass), "is retired");
  EXPECT_EQ(runCli(cmd({"history", "verify"})).status, cli::kDone);  // the old ones stay valid
  std::string secretFile = clitest::readFile(cli::secretKeyPath());
  history::SecretKey secret;
  ASSERT_TRUE(history::openSecretKey(secretFile, pass, secret, error)) << error;
  history::Statement late = signatures[0].statement;
  late.comment = "signed after the key was retired";
  const std::string text = history::statementText(late);
  ASSERT_TRUE(store.appendAudit(history::kAuditSignature, "VLM70001", 0,
                                history::signatureDetail(text, secret.sign(text)), error))
      << error;
  store.close();
  const auto found = runCli(cmd({"history", "verify"}));
  EXPECT_EQ(found.status, cli::kNotVerified);
  EXPECT_NE(found.err.find("after it was retired"), std::string::npos) << found.err;
}
