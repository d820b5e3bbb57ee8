// The spreadsheet read back by another program (Python's openpyxl): the sheets, real dates, numbers
// and flags, an excursion, limits and the verdict.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "HistorySupport.h"
#include "history/XlsxExport.h"

namespace {

// Prints each sheet's name, then per row the cells as type:value.
constexpr char kDump[] = R"(
import sys, openpyxl
book = openpyxl.load_workbook(sys.argv[1], read_only=True)
p = book.properties
print("properties", p.creator, p.title, p.description, sep="|")
for sheet in book.worksheets:
    print("sheet", sheet.title)
    for row in sheet.iter_rows(values_only=True):
        print("|".join("" if v is None else type(v).__name__ + ":" + str(v) for v in row))
)";

TEST(XlsxExportTest, SheetsDatesNumbersAndExcursionsReadBack) {
  historytest::TempDir dir;
  std::vector<history::StoredRecord> records;
  for (int minute = 0; minute < 6; ++minute) {
    history::StoredRecord r{};
    r.logger = "VLM\xE9";  // Windows-1252 é: the sheet has it as UTF-8
    r.record = historytest::record(2026, 3, 2, 4, 40 + minute, 6);
    r.record.temperature = minute == 2 || minute == 3 ? 9.25f : 5.0f;
    history::recordTime(r.record, r.time);
    r.download = 7;
    records.push_back(r);
  }
  records[5].checksumError = true;
  history::XlsxInput input;
  input.serial = "VLM\xE9";
  input.records = &records;
  input.sources[7] = "Download 2026-03-02 05:00 UTC, USB";
  input.limits[1].temperature.upper = 8;
  input.limits[1].temperature.delay = 60;
  input.clock.emplace(std::vector<history::ClockZoneRow>{{0, history::Zone{"Europe/Berlin", 3600},
                                                          history::ClockZoneKind::setTime}},
                      history::Zone{});
  input.application = "Tarnwick 9.8.7";
  input.creator = "quality";
  std::string bytes, error;
  ASSERT_TRUE(history::xlsxBytes(input, bytes, error)) << error;
  std::ofstream(dir / "out.xlsx", std::ios::binary) << bytes;
  std::ofstream(dir / "dump.py") << kDump;
  // Debian's python3 with its python3-openpyxl, not whichever python3 comes first on the PATH.
  const std::string dump =
      historytest::commandOutput("/usr/bin/python3 " + dir / "dump.py" + " " + dir / "out.xlsx");

  // The workbook says what made it and who.
  EXPECT_NE(dump.find("properties|quality|Readings of VLM\xC3\xA9|Made by Tarnwick 9.8.7\n"),
            std::string::npos)
      << dump;
  EXPECT_NE(dump.find("sheet Readings\n"), std::string::npos) << dump;
  EXPECT_NE(dump.find("sheet Excursions\n"), std::string::npos);
  EXPECT_NE(dump.find("sheet Statistics and limits\n"), std::string::npos);
  // A reading: serial as text, sensor and values as numbers, the time a date, the flag a boolean.
  EXPECT_NE(dump.find("str:VLM\xC3\xA9|int:1|datetime:2026-03-02 04:42:06|float:45.25|float:9.25|float:22.04|"
                      "bool:False|str:Download 2026-03-02 05:00 UTC, USB|str:+01:00\n"),
            std::string::npos)
      << dump;
  EXPECT_NE(dump.find("|bool:True|"), std::string::npos);
  // The excursion: two minutes above 8 °C, an alarm with a one-minute delay.
  EXPECT_NE(
      dump.find("int:1|str:temperature|str:above|datetime:2026-03-02 04:42:06|datetime:2026-03-02 04:44:06|"
                "int:120|int:2|float:9.25|int:8|bool:True\n"),
      std::string::npos)
      << dump;
  EXPECT_NE(dump.find("str:Verdict|str:1 alarm|"), std::string::npos);
  EXPECT_NE(dump.find("str:Logger clock zone|str:Europe/Berlin UTC+01:00|"), std::string::npos);
  EXPECT_NE(dump.find("int:1|str:temperature|int:6|int:1|"), std::string::npos);
}

}  // namespace
