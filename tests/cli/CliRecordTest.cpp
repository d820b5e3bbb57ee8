// Who, where, which firmware and why on the command line: the firmware a logger tells, a logger's
// name and place, comments on excursions and reasons for changes of limits, down to the report.
#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "CliSupport.h"
#include "cli/ExitStatus.h"
#include "history/History.h"
#include "history/HistorySupport.h"

using clitest::CliTest;
using clitest::runCli;

namespace {

history::Store& openedHistory(history::Store& store) {
  std::string error;
  EXPECT_TRUE(store.open(history::Store::defaultPath(), error)) << error;
  return store;
}

}  // namespace

TEST_F(CliTest, TheFirmwareALoggerTellsIsKeptAndADownloadAsksItFirst) {
  velmora::Options options = logger("VLM70001", 200);
  options.software = "V1.07";
  auto device = attach(options);
  const auto told = runCli({"send", "-s", "VLM70001", "device.software"});
  ASSERT_EQ(told.status, cli::kDone) << told.err;
  EXPECT_EQ(told.out, "device.software=V1.07\n");
  {
    history::Store store;
    std::vector<std::pair<int64_t, std::string>> seen;
    std::string error;
    ASSERT_TRUE(openedHistory(store).firmwareSeen("VLM70001", seen, error)) << error;
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].second, "V1.07");
  }
  // Another answer keeps nothing.
  ASSERT_EQ(runCli({"send", "-s", "VLM70001", "device.serial"}).status, cli::kDone);

  const size_t before = device->Commands().size();
  const auto load = runCli({"download", "-s", "VLM70001", "-o", path("d.csv")});
  ASSERT_EQ(load.status, cli::kDone) << load.err;
  const std::vector<std::string> sent = device->Commands();
  ASSERT_GE(sent.size(), before + 2);
  EXPECT_EQ(sent[before], "device.software");
  EXPECT_EQ(sent[before + 1], "mem.used");
  history::Store store;
  const std::vector<history::DownloadRow> rows = openedHistory(store).downloads("VLM70001");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].firmware, "V1.07");
  EXPECT_EQ(rows[0].user, history::thisComputer().user);
  std::vector<std::pair<int64_t, std::string>> seen;
  std::string error;
  ASSERT_TRUE(store.firmwareSeen("VLM70001", seen, error)) << error;
  EXPECT_EQ(seen.size(), 1u) << "the download's version is kept with the download";
}

TEST_F(CliTest, NamesReasonsAndCommentsReachTheListsAndTheReport) {
  {
    // Sensor 1 every ten minutes: 5, 5, 9, 9.5, 5 °C.
    const float values[] = {5, 5, 9, 9.5f, 5};
    std::vector<messwert_tag> records;
    for (int i = 0; i < 5; ++i) {
      messwert_tag r = historytest::record(2026, 3, 7, 10, i * 10, 0, 1);
      r.temperature = values[i];
      r.reserved[5] = 0;
      r.reserved[5] = static_cast<uint8_t>(0x100 - messwert::checksum(r));
      records.push_back(r);
    }
    history::Store store;
    history::ImportResult imported;
    std::string error;
    ASSERT_TRUE(openedHistory(store).importDownload("VLM70001", "a.csv", records, imported, error)) << error;
  }
  // Name and place: set, shown, every change kept.
  EXPECT_EQ(runCli({"loggers", "--name", "Fridge 3"}).status, cli::kBadArguments);
  EXPECT_EQ(runCli({"loggers", "-s", "VLM70001", "--name", std::string(65, 'x')}).status, cli::kBadArguments);
  ASSERT_EQ(runCli({"loggers", "-s", "VLM70001", "--name", "Fridge 3", "--place", "Pharmacy"}).status,
            cli::kDone);
  const auto named = runCli({"loggers", "-s", "70001", "--place", "Vaccine store"});
  ASSERT_EQ(named.status, cli::kDone) << named.err;
  EXPECT_NE(named.out.find("VLM70001: name \"Fridge 3\", place \"Vaccine store\"\n"), std::string::npos)
      << named.out;
  EXPECT_NE(
      named.out.find(" on " + history::thisComputer().host + ": place \"Pharmacy\" -> \"Vaccine store\"\n"),
      std::string::npos)
      << named.out;
  const auto table = runCli({"loggers"});
  EXPECT_NE(table.out.find("VLM70001  Fridge 3 (Vaccine store)  "), std::string::npos) << table.out;
  const auto lines = runCli({"loggers", "--format", "jsonl"});
  const nlohmann::json row = nlohmann::json::parse(lines.out);
  EXPECT_EQ(row["name"], "Fridge 3");
  EXPECT_EQ(row["place"], "Vaccine store");

  // Limits, then a change with its reason.
  ASSERT_EQ(runCli({"limits", "-s", "VLM70001", "--temperature", "2:9.2"}).status, cli::kDone);
  EXPECT_EQ(runCli({"limits", "-s", "VLM70001", "--temperature", "2:8"}).status, cli::kBadArguments);
  ASSERT_EQ(
      runCli({"limits", "-s", "VLM70001", "--temperature", "2:8", "--reason", "Label of the batch says 8"})
          .status,
      cli::kDone);

  // A comment, twice on the same excursion: the later stands beside the earlier.
  const std::vector<std::string> at{"excursions", "-s", "VLM70001", "--at", "2026-03-07T10:20:00"};
  auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> args = at;
    args.insert(args.end(), more.begin(), more.end());
    return runCli(args);
  };
  EXPECT_EQ(with({}).status, cli::kBadArguments);
  EXPECT_EQ(runCli({"excursions", "-s", "VLM70001", "--at", "2026-03-07T10:10:00", "--cause", "x"}).status,
            cli::kBadArguments)
      << "no excursion starts then";
  ASSERT_EQ(with({"--cause", "Door open during stock count", "--action", "Team briefed"}).status, cli::kDone);
  ASSERT_EQ(with({"--action", "Door alarm installed"}).status, cli::kDone);
  const auto listed = runCli({"excursions", "-s", "VLM70001", "-f", "jsonl"});
  EXPECT_EQ(listed.status, cli::kExcursionAlarm) << listed.err;
  const nlohmann::json excursion = nlohmann::json::parse(listed.out);
  EXPECT_EQ(excursion["name"], "Fridge 3");
  ASSERT_EQ(excursion["comments"].size(), 2u);
  EXPECT_EQ(excursion["comments"][0]["cause"], "Door open during stock count");
  EXPECT_EQ(excursion["comments"][0]["action"], "Team briefed");
  EXPECT_EQ(excursion["comments"][1]["action"], "Door alarm installed");
  EXPECT_EQ(excursion["comments"][1]["user"], history::thisComputer().user);

#ifdef TARNWICK_HAVE_REPORT
  const auto made = runCli({"report", "-s", "VLM70001", "-o", path("r.pdf")});
  ASSERT_EQ(made.status, cli::kDone) << made.err;
  // As a reader's tools see it, on one line each.
  std::string text = historytest::commandOutput("pdftotext -enc UTF-8 '" + path("r.pdf") + "' -");
  std::replace(text.begin(), text.end(), '\n', ' ');
  for (const std::string& wanted :
       {std::string("VLM70001 (Fridge 3, Vaccine store)"), std::string("reason: Label of the batch says 8"),
        std::string("none -> temperature 2:9.2"),
        std::string("cause: Door open during stock count; action: Team"),
        std::string("action: Door alarm installed")})
    EXPECT_NE(text.find(wanted), std::string::npos) << wanted << "\n" << text;
#endif
}
