// The report and the spreadsheets of tarnwick-cli, from a download into the history.
#include <filesystem>

#include "CliSupport.h"
#include "cli/ExitStatus.h"
#include "history/Digest.h"
#include "history/History.h"

namespace {

using clitest::CliTest;
using clitest::readFile;
using clitest::runCli;

TEST_F(CliTest, ReportAndSpreadsheetsOfALoggersReadings) {
  ::setenv("XDG_DATA_HOME", path("data").c_str(), 1);
  attach(logger("VLM12345", 400));
  // A download as a spreadsheet instead of the CSV file; it goes into the history all the same.
  const auto load = runCli({"download", "-s", "VLM12345", "--format", "xlsx", "-o", path("d.xlsx")});
  ASSERT_EQ(load.status, cli::kDone) << load.err;
  EXPECT_NE(load.err.find("400 of 400 records new in the history"), std::string::npos) << load.err;
  EXPECT_EQ(readFile(path("d.xlsx")).substr(0, 2), "PK");
  EXPECT_FALSE(std::filesystem::exists(path("d.csv")));
  const auto sheet = runCli({"history", "--format", "xlsx", "-o", path("h.xlsx")});
  ASSERT_EQ(sheet.status, cli::kDone) << sheet.err;
  EXPECT_EQ(readFile(path("h.xlsx")).substr(0, 2), "PK");
  EXPECT_EQ(runCli({"history", "--format", "xlsx"}).status, cli::kBadArguments);
  EXPECT_EQ(runCli({"history", "--output", path("h.csv")}).status, cli::kBadArguments);
  EXPECT_EQ(runCli({"download", "--format", "xlsx"}).status, cli::kBadArguments);

  const auto made = runCli({"report", "-s", "12345", "-o", path("r.pdf")});
#ifndef TARNWICK_HAVE_REPORT
  // Built without Qt (the sanitizer presets): the command says so.
  EXPECT_EQ(made.status, cli::kFailed);
  EXPECT_NE(made.err.find("built without the report"), std::string::npos) << made.err;
  ::unsetenv("XDG_DATA_HOME");
  return;
#endif
  ASSERT_EQ(made.status, cli::kDone) << made.err;
  EXPECT_EQ(readFile(path("r.pdf")).substr(0, 5), "%PDF-");
  std::vector<history::StoredRecord> stored;
  std::string error;
  history::Store store;
  ASSERT_TRUE(store.open(history::Store::defaultPath(), error)) << error;
  history::Query all;
  all.logger = "VLM12345";
  ASSERT_TRUE(store.query(all, stored, error)) << error;
  std::vector<history::ClockZoneRow> zones;
  ASSERT_TRUE(store.clockZones("VLM12345", zones, error)) << error;
  const history::ClockOffsets clock = history::clockOffsets(zones, 0);
  ASSERT_TRUE(clock.recorded());
  EXPECT_NE(made.out.find("400 readings\n"), std::string::npos) << made.out;
  EXPECT_NE(made.out.find("digest: sha256 " + history::readingsDigest(stored, &clock) + "\n"),
            std::string::npos)
      << made.out;
  // Anyone can check a report against the history: the same range and sensor give the same digest.
  const auto part = runCli({"report", "-s", "VLM12345", "--sensor", "1002", "--from", "2026-03-02T00:10",
                            "--to", "2026-03-03", "-o", path("part.pdf")});
  ASSERT_EQ(part.status, cli::kDone) << part.err;
  const auto check = runCli({"history", "--digest", "-s", "VLM12345", "--sensor", "1002", "--from",
                             "2026-03-02T00:10", "--to", "2026-03-03"});
  ASSERT_EQ(check.status, cli::kDone) << check.err;
  EXPECT_NE(part.out.find("digest: sha256 " + check.out), std::string::npos) << part.out << check.out;
  EXPECT_EQ(part.out.find("digest: sha256 " + history::readingsDigest(stored, &clock)), std::string::npos);

  // Nothing in the range: no file. An unknown logger and bad times are refused.
  EXPECT_EQ(runCli({"report", "-s", "VLM12345", "--from", "2030-01-01", "-o", path("none.pdf")}).status,
            cli::kNoRecords);
  EXPECT_FALSE(std::filesystem::exists(path("none.pdf")));
  EXPECT_EQ(runCli({"report", "-s", "VLM999", "-o", path("none.pdf")}).status, cli::kNoLogger);
  EXPECT_EQ(runCli({"report", "-s", "VLM12345", "--to", "soon", "-o", path("none.pdf")}).status,
            cli::kBadArguments);
  EXPECT_FALSE(std::filesystem::exists(path("none.pdf")));
  ::unsetenv("XDG_DATA_HOME");
}

}  // namespace
