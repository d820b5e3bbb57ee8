#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "data/RegionalFormat.h"
#include "link/CsvExport.h"
#include "link/LinkAccess.h"
#include "link/ReaderSupport.h"

using datatest::crlfLines;
using datatest::readFile;
using datatest::record;
using datatest::writeFile;
using Kind = RecordingWindow::Kind;

namespace {

struct CsvExport : datatest::LinkFixture {
  void prepare(const std::vector<messwert_tag>& records) {
    LinkAccess(*link).measurements() = records;
    LinkAccess(*link).memUsed() = static_cast<int32_t>(records.size());
    LinkAccess(*link).downloadActive() = true;
  }
};

const std::string kHeaderLine =
    "Date;SensorSerialNumber;Humidity;Temperature;HumidityRaw;TemperatureRaw;AmbientTemperature;Comment";

}  // namespace

TEST_F(CsvExport, WritesValidRecordsAndLogsEveryPosition) {
  messwert_tag badTime = record(2017, 3, 6, 24, 0, 0, 3);
  messwert_tag badDate = record(2017, 0, 6, 10, 0, 0, 4);
  messwert_tag badBoth = datatest::withBadChecksum(record(2017, 0, 6, 24, 0, 0, 5));
  messwert_tag midnight = record(2017, 3, 7, 0, 0, 0, 6);
  messwert_tag oneSecond = record(2017, 3, 7, 0, 0, 1, 7);
  messwert_tag badSum = datatest::withBadChecksum(record(2017, 3, 8, 1, 2, 3, 8));
  prepare({record(2017, 3, 5, 14, 7, 9), badTime, badDate, badBoth, midnight, oneSecond, badSum});
  window.answerSaveDialog((dir / "out.csv").string());

  exportMeasurements(*link, RegionalFormat::german());

  const std::string file = readFile(dir / "out.csv");
  EXPECT_EQ(file, kHeaderLine + "\r\n" +
                      "05.03.2017 14:07:09;1234;45,3;21,0;20000;10000;22,0;\r\n"
                      "07.03.2017;6;45,3;21,0;20000;10000;22,0;\r\n"
                      "07.03.2017 00:00:01;7;45,3;21,0;20000;10000;22,0;\r\n"
                      "08.03.2017 01:02:03;8;45,3;21,0;20000;10000;22,0;Check sum error\r\n");
  const std::string timeLine = std::string("Fehler Messwert ") + messwert::kTimeMessage;
  const std::string dateLine = std::string("Fehler Messwert ") + messwert::kDateMessage;
  EXPECT_EQ(window.log(), (std::vector<std::string>{"1 05.03.2017 14:07:09", timeLine, dateLine, timeLine,
                                                    "5 07.03.2017", "6 07.03.2017 00:00:01",
                                                    "7 08.03.2017 01:02:03", "Download finished"}));
  // Busy again once the file is open, time-out off, busy ended at the end.
  const auto effects = window.effects();
  ASSERT_GE(effects.size(), 4u);
  EXPECT_EQ(effects[0].kind, Kind::SaveDialog);
  EXPECT_EQ(effects[1].kind, Kind::StartBusy);
  EXPECT_EQ(effects[2].kind, Kind::TimeoutEnable);
  EXPECT_EQ(effects[2].value, 0);
  EXPECT_EQ(effects.back().kind, Kind::StopBusy);
  EXPECT_FALSE(LinkAccess(*link).downloadActive());
  EXPECT_TRUE(LinkAccess(*link).measurements().empty());
  EXPECT_EQ(dir.names(), std::vector<std::string>{"out.csv"});
  // The saved event counts the records left out, so that nobody has to count log lines.
  const auto events = window.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, LinkEvent::Kind::DownloadSaved);
  EXPECT_EQ(events[0].value, 4);
  EXPECT_EQ(events[0].skipped, 3);
}

TEST_F(CsvExport, EnglishFormatAndReplacedFile) {
  prepare({record(2017, 3, 5, 14, 7, 9), record(2017, 3, 5, 0, 0, 0, 9)});
  datatest::writeFile(dir / "out.csv", std::string(5000, 'x'));  // longer than the new file
  window.answerSaveDialog((dir / "out.csv").string());

  exportMeasurements(*link, RegionalFormat::english());

  const auto lines = crlfLines(readFile(dir / "out.csv"));
  EXPECT_EQ(lines,
            (std::vector<std::string>{kHeaderLine, "3/5/2017 2:07:09 PM;1234;45.3;21.0;20000;10000;22.0;",
                                      "3/5/2017;9;45.3;21.0;20000;10000;22.0;"}));
  EXPECT_EQ(readFile(dir / "out.csv").substr(readFile(dir / "out.csv").size() - 2), "\r\n");
  EXPECT_EQ(window.log().front(), "1 3/5/2017 2:07:09 PM");
}

TEST_F(CsvExport, CancelAndOpenFailureKeepTheDownload) {
  prepare({record(2017, 3, 5, 14, 7, 9)});
  window.cancelSaveDialog();
  exportMeasurements(*link, RegionalFormat::german());
  EXPECT_EQ(window.log(), std::vector<std::string>{"User abort file open dialog"});
  EXPECT_TRUE(LinkAccess(*link).downloadActive());
  EXPECT_EQ(LinkAccess(*link).measurements().size(), 1u);

  window.clear();
  window.answerSaveDialog((dir / "missing" / "out.csv").string());
  exportMeasurements(*link, RegionalFormat::german());
  const auto effects = window.effects();
  ASSERT_EQ(effects.size(), 3u);
  EXPECT_EQ(effects[1].kind, Kind::MessageBox);
  EXPECT_EQ(effects[1].caption, "Fehler");
  EXPECT_EQ(effects[1].text, "File Open Error");
  EXPECT_EQ(effects[1].value, 0);  // error icon
  EXPECT_EQ(effects[2].kind, Kind::Error);
  EXPECT_EQ(effects[2].text, "File Open Error");
  EXPECT_TRUE(LinkAccess(*link).downloadActive());
  EXPECT_EQ(LinkAccess(*link).measurements().size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

TEST_F(CsvExport, FailedRenameReportsWriteErrorAndLeavesNoTemporary) {
  // A directory of the chosen name cannot be replaced by the finished file.
  std::filesystem::create_directories(dir / "taken.csv" / "inner");
  prepare({record(2017, 3, 5, 14, 7, 9)});
  window.answerSaveDialog((dir / "taken.csv").string());

  exportMeasurements(*link, RegionalFormat::german());

  EXPECT_EQ(window.messageBoxes(), std::vector<std::string>{"File Write Error"});
  EXPECT_EQ(window.log().back(), "File Write Error");
  EXPECT_EQ(window.count("Download finished"), 0u);
  EXPECT_FALSE(window.busy());
  EXPECT_TRUE(LinkAccess(*link).downloadActive());
  EXPECT_TRUE(std::filesystem::is_directory(dir / "taken.csv" / "inner"));
  EXPECT_EQ(dir.names(), std::vector<std::string>{"taken.csv"});
}

// A full disk, simulated by a file size limit in a child process. A small file fails when it is
// flushed at the end, a large one already while it is written.
TEST_F(CsvExport, FailedWriteKeepsTheEarlierFile) {
  const std::string old = "the earlier export\r\n";
  datatest::writeFile(dir / "out.csv", old);
  for (int count : {10, 200}) {
    SCOPED_TRACE(count);
    std::vector<messwert_tag> records;
    for (int i = 0; i < count; ++i) records.push_back(record(2017, 3, 5, 10, i / 60, i % 60));
    prepare(records);
    window.answerSaveDialog((dir / "out.csv").string());
    auto child = [&] {
      std::signal(SIGXFSZ, SIG_IGN);
      rlimit limit{100, 100};
      setrlimit(RLIMIT_FSIZE, &limit);
      exportMeasurements(*link, RegionalFormat::german());
      const bool ok = window.messageBoxes() == std::vector<std::string>{"File Write Error"} &&
                      window.log().back() == "File Write Error" && window.count("Download finished") == 0 &&
                      LinkAccess(*link).downloadActive() && readFile(dir / "out.csv") == old &&
                      dir.names() == std::vector<std::string>{"out.csv"};
      std::fprintf(stderr, "%s\n", ok ? "checked" : "mismatch");
      std::fflush(stderr);
      std::_Exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0), "checked");
  }
  EXPECT_EQ(readFile(dir / "out.csv"), old);
}

namespace {

// Permissions as an ordinary user sees them: the tests run as root in CI, and root may write anything.
// A folder of the scratch directory for the unprivileged uid 65534, and a check that runs in a child
// process under that uid (under the test's own uid when it is no root).
struct ExportAsUser : CsvExport {
  static constexpr uid_t kUser = 65534;
  std::filesystem::path folder = dir / "user";

  void SetUp() override {
    std::filesystem::create_directory(folder);
    own(folder);
    prepare({record(2017, 3, 5, 14, 7, 9)});
  }
  static void own(const std::filesystem::path& path) {
    if (geteuid() == 0) {
      ASSERT_EQ(chown(path.c_str(), kUser, kUser), 0);
    }
  }
  void asUser(const std::function<bool()>& check) {
    auto child = [&] {
      const bool dropped = geteuid() != 0 || (setgid(kUser) == 0 && setuid(kUser) == 0);
      const bool ok = dropped && check();
      std::fprintf(stderr, "%s\n", ok ? "checked" : "mismatch");
      std::fflush(stderr);
      std::_Exit(ok ? 0 : 1);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(0), "checked");
  }
};

}  // namespace

// A write-protected file is refused as a file that cannot be opened: nothing changes, the download
// stays to be exported again.
TEST_F(ExportAsUser, WriteProtectedFileIsRefused) {
  writeFile(folder / "out.csv", "old");
  own(folder / "out.csv");
  chmod((folder / "out.csv").c_str(), 0444);
  window.answerSaveDialog((folder / "out.csv").string());
  asUser([&] {
    exportMeasurements(*link, RegionalFormat::german());
    return window.messageBoxes() == std::vector<std::string>{"File Open Error"} &&
           window.log() == std::vector<std::string>{"File Open Error"} &&
           LinkAccess(*link).downloadActive() && LinkAccess(*link).measurements().size() == 1;
  });
  EXPECT_EQ(readFile(folder / "out.csv"), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
}

// A writable file in a folder that takes no new file is written in place, and the log says so.
TEST_F(ExportAsUser, FileInReadOnlyFolderIsWrittenInPlace) {
  writeFile(folder / "out.csv", std::string(5000, 'x'));
  own(folder / "out.csv");
  chmod(folder.c_str(), 0555);
  window.answerSaveDialog((folder / "out.csv").string());
  asUser([&] {
    exportMeasurements(*link, RegionalFormat::german());
    const auto log = window.log();
    return window.messageBoxes().empty() &&
           log.front() == "Folder not writable: the file is overwritten in place" &&
           log.back() == "Download finished" && !LinkAccess(*link).downloadActive();
  });
  chmod(folder.c_str(), 0755);
  EXPECT_EQ(crlfLines(readFile(folder / "out.csv")),
            (std::vector<std::string>{kHeaderLine, "05.03.2017 14:07:09;1234;45,3;21,0;20000;10000;22,0;"}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
}
