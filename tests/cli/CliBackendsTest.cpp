// The history commands of tarnwick-cli against both kinds of history: a SQLite file, and a PostgreSQL
// server as a desk's writer login, with a reviewer login beside it.
#include <string>

#include "CliSupport.h"
#include "cli/ExitStatus.h"
#include "common/PgServer.h"
#include "history/History.h"

using clitest::runCli;

namespace {

class CliBackends : public clitest::CliTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    if (GetParam()) {
      pgtest::Server& server = pgtest::Server::shared();
      ASSERT_TRUE(server.running()) << server.error();
      history_ = server.freshDatabase();
      ASSERT_FALSE(history_.empty()) << server.error();
      database_ = server.lastDatabase();
    } else {
      history_ = path("h.sqlite");
    }
  }
  bool server() const { return GetParam(); }
  clitest::Run cli(std::vector<std::string> args, const std::string& history = std::string()) {
    args.push_back("--history");
    args.push_back(history.empty() ? history_ : history);
    return runCli(args);
  }

  std::string history_, database_;
};

INSTANTIATE_TEST_SUITE_P(, CliBackends, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "PostgreSQL" : "SQLite";
});

}  // namespace

TEST_P(CliBackends, EveryHistoryCommandWorksOnTheHistory) {
  attach(logger("VLM12345", 400));
  const auto load = cli({"download", "-o", path("d.csv")});
  ASSERT_EQ(load.status, cli::kDone) << load.err;
  EXPECT_NE(load.err.find("400 of 400 records new in the history"), std::string::npos) << load.err;

  const auto all = cli({"history", "--serial", "VLM12345"});
  ASSERT_EQ(all.status, cli::kDone) << all.err;
  EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 401) << all.out.substr(0, 300);
  const auto digest = cli({"history", "--digest", "--serial", "VLM12345"});
  ASSERT_EQ(digest.status, cli::kDone) << digest.err;
  EXPECT_EQ(digest.out.size(), 65u) << digest.out;

  const auto again = cli({"import", path("d.csv")});
  EXPECT_EQ(again.status, cli::kDone) << again.err;
  EXPECT_NE((again.out + again.err).find("0 imported"), std::string::npos) << again.out << again.err;

  // Limits no reading keeps: excursions and the download's own check both raise the alarm.
  ASSERT_EQ(cli({"limits", "--serial", "VLM12345", "--temperature", "100:200"}).status, cli::kDone);
  const auto shown = cli({"limits", "--serial", "VLM12345"});
  EXPECT_NE(shown.out.find("100:200"), std::string::npos) << shown.out << shown.err;
  const auto outside = cli({"excursions", "--serial", "VLM12345"});
  EXPECT_EQ(outside.status, cli::kExcursionAlarm) << outside.err;
  EXPECT_NE(outside.out.find("ALARM"), std::string::npos) << outside.out;
  EXPECT_EQ(cli({"download", "-o", path("e.csv")}).status, cli::kExcursionAlarm);

  const auto listed = cli({"loggers"});
  EXPECT_EQ(listed.status, cli::kDone) << listed.err;
  EXPECT_NE(listed.out.find("VLM12345"), std::string::npos) << listed.out;
#ifdef TARNWICK_HAVE_REPORT
  const auto report = cli({"report", "-s", "VLM12345", "-o", path("r.pdf")});
  EXPECT_EQ(report.status, cli::kDone) << report.err;
  EXPECT_NE(report.out.find("digest: sha256 " + digest.out), std::string::npos) << report.out << digest.out;
#endif

  // A copy into a file, read back: the same readings and limits.
  const std::string copy = path("copy.sqlite");
  const auto copied = cli({"history", "copy", "--to", copy});
  ASSERT_EQ(copied.status, cli::kDone) << copied.err;
  EXPECT_EQ(cli({"history", "--digest", "--serial", "VLM12345"}, copy).out, digest.out);
  EXPECT_EQ(cli({"excursions", "--serial", "VLM12345"}, copy).status, cli::kExcursionAlarm);

  // history init is for a server, by its administrator.
  if (!server()) {
    EXPECT_EQ(cli({"history", "init"}).status, cli::kBadArguments);
    return;
  }
  pgtest::Server& site = pgtest::Server::shared();
  const auto printed = cli({"history", "init", "--print"}, site.location(database_));
  ASSERT_EQ(printed.status, cli::kDone) << printed.err;
  EXPECT_NE(
      printed.out.find(
          "GRANT SELECT ON ALL TABLES IN SCHEMA tarnwick TO \"tarnwick_writer\", \"tarnwick_reviewer\""),
      std::string::npos);
  EXPECT_EQ(cli({"history", "init"}, site.location(database_)).status, cli::kDone);
  EXPECT_EQ(cli({"history", "init", "--writer-role", "x;drop"}, site.location(database_)).status,
            cli::kBadArguments);
  EXPECT_EQ(cli({"history", "init"}).status, cli::kFileError) << "a desk is no administrator";

  // The reviewer reads everything and writes nothing.
  const std::string reviewer = site.location(database_, "auditor");
  EXPECT_EQ(cli({"history", "--digest", "--serial", "VLM12345"}, reviewer).out, digest.out);
  EXPECT_EQ(cli({"excursions", "--serial", "VLM12345"}, reviewer).status, cli::kExcursionAlarm);
  EXPECT_EQ(cli({"limits", "--serial", "VLM12345", "--temperature", "0:50"}, reviewer).status,
            cli::kFileError);
  EXPECT_EQ(cli({"download", "-o", path("f.csv")}, reviewer).status, cli::kNotInHistory);
  EXPECT_EQ(cli({"history", "--digest", "--serial", "VLM12345"}).out, digest.out);
}

// Names planted on the server by someone with rights there come out printable, in every format.
TEST_P(CliBackends, ASerialWithTerminalEscapesIsPrintedPrintable) {
  if (!server()) GTEST_SKIP() << "the file's history refuses such a serial on the way in";
  attach(logger("VLM12345", 20));
  ASSERT_EQ(cli({"download", "-o", path("d.csv")}).status, cli::kDone);
  pgtest::Server& site = pgtest::Server::shared();
  ASSERT_EQ(site.sql(database_, "UPDATE tarnwick.loggers SET serial = E'VLM\\x1b]0;owned\\x07\\x1b[2J'"), "");
  for (const std::vector<std::string>& args : {std::vector<std::string>{"history"},
                                               {"history", "-f", "jsonl"},
                                               {"loggers"},
                                               {"loggers", "-f", "jsonl"}}) {
    const auto run = cli(args);
    EXPECT_EQ(run.status, cli::kDone) << run.err;
    EXPECT_EQ((run.out + run.err).find('\x1b'), std::string::npos) << args.back() << ": " << run.out;
    EXPECT_EQ((run.out + run.err).find('\x07'), std::string::npos) << args.back();
  }
}
