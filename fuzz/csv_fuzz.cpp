// The CSV export of any 32-byte records, with the German and the English regional formats and with
// formats made of any pattern text, for any memUsed around the record count. A finished export is a
// whole file: the header, then exactly one line per record with a valid time stamp.
//
// Input: a flag byte, a memUsed choice, two pattern lengths, pattern bytes, a decimal separator, then
// the records.
#include <climits>
#include <fstream>
#include <iterator>

#include "data/Messwert.h"
#include "data/RegionalFormat.h"
#include "fuzz/FuzzSupport.h"
#include "link/CsvExport.h"
#include "link/LinkAccess.h"
#include "link/USBInterface.h"

namespace {

struct Fixture {
  Fixture() : window(fuzz::windowOptions()), link(&window) {}
  RecordingWindow window;
  USBInterface link;
};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void exportOnce(Fixture& f, const std::vector<messwert_tag>& records, int32_t memUsed,
                const RegionalFormat& format) {
  static const std::string file = fuzz::scratchDir() + "/export.csv";
  std::remove(file.c_str());
  f.window.clear();
  f.window.answerEverySaveDialog(file);
  LinkAccess(f.link).measurements() = records;
  LinkAccess(f.link).memUsed() = memUsed;
  LinkAccess(f.link).downloadActive() = true;
  exportMeasurements(f.link, format);
  if (f.window.count("Download finished") == 0) fuzz::fail("an export into a writable folder did not finish");

  const size_t taken = std::min(records.size(), static_cast<size_t>(std::max<int32_t>(0, memUsed)));
  size_t valid = 0;
  for (size_t i = 0; i < taken; ++i) {
    messwert::TimeStamp ts;
    std::string message;
    valid += messwert::timeStamp(records[i], ts, message);
  }
  const std::string text = readFile(file);
  const std::string header = std::string(csv::kHeader) + "\r\n";
  if (text.compare(0, header.size(), header) != 0) fuzz::fail("no header");
  size_t lines = 0;
  for (size_t pos = header.size(); pos < text.size();) {
    const size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) fuzz::fail("a line without its CR LF");
    ++lines;
    pos = end + 2;
  }
  // The file has no quoting: a format that writes a line break (a made-up pattern can) makes more
  // lines, which is no fault of the export; any other format gives one line per valid record.
  const std::string texts = format.shortDate + format.longTime + format.amDesignator + format.pmDesignator +
                            std::string(1, format.decimalSeparator);
  const bool breaksLines = texts.find_first_of("\r\n") != std::string::npos;
  if (!breaksLines && lines != valid) fuzz::fail("not one line per valid record");
  if (breaksLines && lines < valid) fuzz::fail("fewer lines than valid records");
  if (LinkAccess(f.link).measurements().size() != records.size() - taken)
    fuzz::fail("written records not taken off the list");
  if (LinkAccess(f.link).downloadActive()) fuzz::fail("a finished export left the download active");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture* f = new Fixture();
  fuzz::Input in(data, size);
  const uint8_t flags = in.byte();
  const uint8_t usedChoice = in.byte();
  RegionalFormat custom = RegionalFormat::german();
  if (flags & 1) {
    const size_t dateLength = in.byte() % 24, timeLength = in.byte() % 24;
    const std::vector<uint8_t> date = in.bytes(dateLength), time = in.bytes(timeLength);
    custom.shortDate.assign(date.begin(), date.end());
    custom.longTime.assign(time.begin(), time.end());
    custom.decimalSeparator = static_cast<char>(in.byte());
    custom.amDesignator = (flags & 2) ? "" : "vorm.";
    custom.pmDesignator = (flags & 2) ? "" : "nachm.";
  }
  std::vector<messwert_tag> records;
  while (in.left() >= messwert::kRecordSize && records.size() < 512) {
    const std::vector<uint8_t> bytes = in.bytes(messwert::kRecordSize);  // exactly one record
    records.push_back(messwert::fromBytes(bytes.data()));
  }
  const int32_t count = static_cast<int32_t>(records.size());
  const int32_t used[] = {count, count - 1, count + 3, 0, -1, INT32_MIN, INT32_MAX, count / 2};
  const int32_t memUsed = used[usedChoice % (sizeof used / sizeof used[0])];

  exportOnce(*f, records, memUsed, RegionalFormat::german());
  exportOnce(*f, records, memUsed, RegionalFormat::english());
  if (flags & 1) exportOnce(*f, records, memUsed, custom);
  return 0;
}
