#include "history/XlsxExport.h"

#include <stdlib.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

#include "data/SafeFile.h"
#include "data/Text.h"
#include "history/Excursions.h"
#include "history/ZoneSpans.h"

namespace history {
namespace {

// Days from the spreadsheet's epoch (1899-12-30) to 1970-01-01.
constexpr double kEpochDays = 25569.0;

double serialDate(int64_t seconds) {
  return kEpochDays + static_cast<double>(seconds) / 86400.0;
}

// The logger's value in the fewest decimal digits that read back as the same float: 22.04, not the
// 22.040000915... the float widens to.
double shortest(float value) {
  char text[32];
  const auto written = std::to_chars(text, text + sizeof text - 1, value);
  if (written.ec != std::errc()) return value;
  *written.ptr = '\0';
  return std::strtod(text, nullptr);
}

// Names the history keeps from the system (zones, hosts) are UTF-8 as a rule; anything else is taken
// as Windows-1252, so that the workbook always holds valid UTF-8.
std::string asUtf8(const std::string& text) {
  return decodeUtf8(text).find(U'\uFFFD') == std::u32string::npos ? text : utf8FromAnsi(text);
}

// A private folder for the workbook and libxlsxwriter's own temporaries, gone with this object and
// removed by a stopping signal while it exists.
class Scratch {
 public:
  Scratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && base[0] ? base : "/tmp") + "/tarnwick-xlsx-XXXXXX";
    auto held = temporaries::hold();
    if (::mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
      temporaries::note(held, path_, true);
      temporaries::note(held, file());
    }
  }
  ~Scratch() {
    if (path_.empty()) return;
    std::error_code ignored;
    auto held = temporaries::hold();
    std::filesystem::remove_all(path_, ignored);
    temporaries::forget(held, file());
    temporaries::forget(held, path_);
  }
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string file() const { return path_ + "/workbook.xlsx"; }

 private:
  std::string path_;
};

class Book {
 public:
  // The document properties a spreadsheet program shows: title, author, what made it.
  struct Properties {
    std::string title, author, application;
  };

  Book(const std::string& file, const std::string& tmpdir, const Properties& properties) : tmpdir_(tmpdir) {
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;  // rows go to disk as written: a million readings stay small
    options.tmpdir = tmpdir_.data();
    options.use_zip64 = LXW_TRUE;
    book_ = workbook_new_opt(file.c_str(), &options);
    if (book_ == nullptr) return;
    // Without these the file names no creator, and a spreadsheet program's own name stands alone as
    // what made it (the library writes it into the application field and offers no way to change it).
    properties_ = properties;
    comments_ = properties_.application.empty() ? std::string() : "Made by " + properties_.application;
    lxw_doc_properties document{};
    document.title = properties_.title.data();
    document.author = properties_.author.empty() ? nullptr : properties_.author.data();
    document.comments = comments_.empty() ? nullptr : comments_.data();
    workbook_set_properties(book_, &document);
    if (!properties_.application.empty())
      workbook_set_custom_property_string(book_, "Application", properties_.application.c_str());
    date_ = workbook_add_format(book_);
    format_set_num_format(date_, "yyyy-mm-dd hh:mm:ss");
    oneDecimal_ = workbook_add_format(book_);
    format_set_num_format(oneDecimal_, "0.0");
    twoDecimals_ = workbook_add_format(book_);
    format_set_num_format(twoDecimals_, "0.00");
    bold_ = workbook_add_format(book_);
    format_set_bold(bold_);
  }
  ~Book() {
    if (book_ != nullptr) workbook_close(book_);  // only after a failure: close() took it otherwise
  }
  bool ok() const { return book_ != nullptr; }
  lxw_worksheet* sheet(const std::string& name) { return workbook_add_worksheet(book_, name.c_str()); }
  lxw_error close() {
    lxw_workbook* book = book_;
    book_ = nullptr;
    return workbook_close(book);
  }

  // Each returns false once the library refused a cell.
  bool text(lxw_worksheet* s, uint32_t row, uint16_t col, const std::string& utf8, bool heading = false) {
    return remember(worksheet_write_string(s, row, col, utf8.c_str(), heading ? bold_ : nullptr));
  }
  // A value that is no number (the logger's NAN, INF) is written as the text the CSV shows.
  bool value(lxw_worksheet* s, uint32_t row, uint16_t col, double v, lxw_format* format = nullptr) {
    if (!std::isfinite(v))
      return remember(worksheet_write_string(s, row, col,
                                             std::isnan(v) ? "NAN"
                                             : v > 0       ? "INF"
                                                           : "-INF",
                                             nullptr));
    return remember(worksheet_write_number(s, row, col, v, format));
  }
  bool date(lxw_worksheet* s, uint32_t row, uint16_t col, int64_t seconds) {
    return remember(worksheet_write_number(s, row, col, serialDate(seconds), date_));
  }
  bool flag(lxw_worksheet* s, uint32_t row, uint16_t col, bool on) {
    return remember(worksheet_write_boolean(s, row, col, on ? 1 : 0, nullptr));
  }
  void headings(lxw_worksheet* s, const std::vector<std::string>& names) {
    for (size_t c = 0; c < names.size(); ++c) text(s, 0, static_cast<uint16_t>(c), names[c], true);
    worksheet_freeze_panes(s, 1, 0);
  }
  void widths(lxw_worksheet* s, const std::vector<double>& widths) {
    for (size_t c = 0; c < widths.size(); ++c)
      worksheet_set_column(s, static_cast<uint16_t>(c), static_cast<uint16_t>(c), widths[c], nullptr);
  }
  lxw_format* oneDecimal() const { return oneDecimal_; }
  lxw_format* twoDecimals() const { return twoDecimals_; }
  lxw_error failure() const { return failure_; }

 private:
  bool remember(lxw_error e) {
    if (e != LXW_NO_ERROR && failure_ == LXW_NO_ERROR) failure_ = e;
    return e == LXW_NO_ERROR;
  }
  std::string tmpdir_;
  Properties properties_;
  std::string comments_;
  lxw_workbook* book_ = nullptr;
  lxw_format *date_ = nullptr, *oneDecimal_ = nullptr, *twoDecimals_ = nullptr, *bold_ = nullptr;
  lxw_error failure_ = LXW_NO_ERROR;
};

// The readings, kXlsxReadingsPerSheet to a sheet ("Readings", "Readings 2", ...); stops early when
// cancelled or once the library refused a cell.
void writeReadings(Book& book, const XlsxInput& input, const std::vector<StoredRecord>& records,
                   const std::string& serial, const std::function<bool()>& cancelled) {
  const std::vector<std::string> readingColumns = {"Serial",
                                                   "Sensor",
                                                   "Time (logger clock)",
                                                   "Humidity (%RH)",
                                                   "Temperature (\xC2\xB0"
                                                   "C)",
                                                   "Ambient temperature (\xC2\xB0"
                                                   "C)",
                                                   "Check-sum error",
                                                   "Source",
                                                   "UTC offset"};
  lxw_worksheet* sheet = nullptr;
  int64_t row = 0;
  int sheetNumber = 0;
  for (const StoredRecord& r : records) {
    if (sheet == nullptr || row > kXlsxReadingsPerSheet) {
      ++sheetNumber;
      sheet = book.sheet(sheetNumber == 1 ? "Readings" : "Readings " + std::to_string(sheetNumber));
      if (sheet == nullptr) break;
      book.widths(sheet, {12, 8, 20, 15, 17, 26, 15, 40, 11});
      book.headings(sheet, readingColumns);
      row = 1;
    }
    if ((row & 0xFFFF) == 0 && cancelled()) break;
    const uint32_t at = static_cast<uint32_t>(row);
    book.text(sheet, at, 0, serial);
    book.value(sheet, at, 1, r.record.sensorSerialNumber);
    book.date(sheet, at, 2, r.time);
    book.value(sheet, at, 3, shortest(r.record.humidity), book.oneDecimal());
    book.value(sheet, at, 4, shortest(r.record.temperature), book.oneDecimal());
    book.value(sheet, at, 5, shortest(r.record.ambientTemperature), book.oneDecimal());
    book.flag(sheet, at, 6, r.checksumError);
    const auto source = input.sources.find(r.download);
    if (source != input.sources.end()) book.text(sheet, at, 7, asUtf8(source->second));
    // "+01:00": the offset the logger's clock had, so that the time can be taken to UTC.
    if (input.clock) book.text(sheet, at, 8, offsetText(input.clock->at(r.time).offset).substr(3));
    ++row;
    if (book.failure() != LXW_NO_ERROR) break;
  }
  if (sheet == nullptr && book.failure() == LXW_NO_ERROR) {
    sheet = book.sheet("Readings");
    if (sheet != nullptr) book.headings(sheet, readingColumns);
  }
}

void writeExcursions(Book& book, const ExcursionResult& excursions) {
  lxw_worksheet* found = book.sheet("Excursions");
  if (found != nullptr) {
    book.widths(found, {8, 13, 8, 20, 20, 13, 10, 10, 10, 8});
    book.headings(found, {"Sensor", "Quantity", "Side", "Start", "End", "Duration (s)", "Readings", "Extreme",
                          "Limit", "Alarm"});
    uint32_t at = 1;
    for (const Excursion& e : excursions.excursions) {
      if (at >= kXlsxReadingsPerSheet) break;
      book.value(found, at, 0, e.sensor);
      book.text(found, at, 1, measureName(e.quantity));
      book.text(found, at, 2, sideName(e.side));
      book.date(found, at, 3, e.start);
      book.date(found, at, 4, e.end);
      book.value(found, at, 5, static_cast<double>(e.duration));
      book.value(found, at, 6, static_cast<double>(e.readings));
      book.value(found, at, 7, shortest(static_cast<float>(e.extreme)), book.twoDecimals());
      book.value(found, at, 8, e.limit);
      book.flag(found, at, 9, e.alarm);
      ++at;
    }
  }
}

// The logger, its clock's zones and the verdict, then a row per sensor and quantity: statistics,
// limits and what the excursions came to.
void writeSummary(Book& book, const XlsxInput& input, const std::vector<StoredRecord>& records,
                  const std::string& serial, const ExcursionResult& excursions,
                  const std::vector<SensorStats>& stats, const LimitsOf& limitsOf) {
  lxw_worksheet* summary = book.sheet("Statistics and limits");
  if (summary != nullptr) {
    book.widths(summary, {20, 13, 10, 15, 10, 10, 10, 10, 12, 12, 15, 13, 15, 15, 11, 8});
    uint32_t at = 0;
    const auto pair = [&](const std::string& name, const std::string& value) {
      book.text(summary, at, 0, name, true);
      book.text(summary, at, 1, value);
      ++at;
    };
    pair("Logger", serial);
    if (!input.label.name.empty()) pair("Name", input.label.name);
    if (!input.label.place.empty()) pair("Place", input.label.place);
    std::string zones;
    if (input.clock)
      for (const ZoneSpan& span : zoneSpans(records, *input.clock))
        zones += (zones.empty() ? "" : "; ") + asUtf8(span.zone.name) + " " + offsetText(span.zone.offset);
    if (input.clock && !input.clock->recorded())
      zones = "not recorded; taken as this computer's zone, " + zones;
    pair("Logger clock zone", input.clock ? zones : "not recorded");
    pair("Verdict", verdict(excursions));
    ++at;
    const std::vector<std::string> columns = {"Sensor",
                                              "Quantity",
                                              "Readings",
                                              "Check-sum errors",
                                              "Min",
                                              "Mean",
                                              "Max",
                                              "MKT",
                                              "Lower limit",
                                              "Upper limit",
                                              "Alarm delay (s)",
                                              "Alarm rule",
                                              "Time above (s)",
                                              "Time below (s)",
                                              "Excursions",
                                              "Alarms"};
    for (size_t c = 0; c < columns.size(); ++c)
      book.text(summary, at, static_cast<uint16_t>(c), columns[c], true);
    ++at;
    for (const SensorStats& s : stats) {
      const Limits limits = limitsOf(s.sensor);
      const SensorExcursions* ex = nullptr;
      for (const SensorExcursions& e : excursions.sensors)
        if (e.sensor == s.sensor) ex = &e;
      for (Measure m : {Measure::temperature, Measure::humidity}) {
        const bool t = m == Measure::temperature;
        const Quantity& values = t ? s.temperature : s.humidity;
        const QuantityLimits& l = t ? limits.temperature : limits.humidity;
        book.value(summary, at, 0, s.sensor);
        book.text(summary, at, 1, measureName(m));
        book.value(summary, at, 2, static_cast<double>(s.count));
        book.value(summary, at, 3, static_cast<double>(s.checksumErrors));
        if (values.count > 0) {
          book.value(summary, at, 4, values.min, book.twoDecimals());
          book.value(summary, at, 5, values.mean, book.twoDecimals());
          book.value(summary, at, 6, values.max, book.twoDecimals());
        }
        if (t && std::isfinite(s.meanKineticTemperature))
          book.value(summary, at, 7, s.meanKineticTemperature, book.twoDecimals());
        if (l.lower) book.value(summary, at, 8, *l.lower);
        if (l.upper) book.value(summary, at, 9, *l.upper);
        if (l.limited()) {
          book.value(summary, at, 10, static_cast<double>(l.delay));
          book.text(summary, at, 11, ruleName(l.rule));
        }
        if (ex != nullptr && l.limited()) {
          const QuantityExcursions& q = t ? ex->temperature : ex->humidity;
          book.value(summary, at, 12, static_cast<double>(q.timeAbove));
          book.value(summary, at, 13, static_cast<double>(q.timeBelow));
          book.value(summary, at, 14, static_cast<double>(q.excursions));
          book.value(summary, at, 15, static_cast<double>(q.alarms));
        }
        ++at;
      }
    }
  }
}

}  // namespace

bool xlsxBytes(const XlsxInput& input, std::string& bytes, std::string& error,
               const std::atomic<bool>* cancel) {
  static const std::vector<StoredRecord> none;
  const std::vector<StoredRecord>& records = input.records ? *input.records : none;
  const auto cancelled = [&] { return cancel != nullptr && cancel->load(); };
  Scratch scratch;
  if (!scratch.ok()) {
    error = "cannot make a private temporary folder for the spreadsheet";
    return false;
  }
  const std::string serial = utf8FromAnsi(input.serial);
  const LimitsOf limitsOf = [&](uint16_t sensor) {
    const auto found = input.limits.find(sensor);
    return found == input.limits.end() ? Limits() : found->second;
  };
  const ExcursionResult excursions = findExcursions(records, limitsOf);
  const std::vector<SensorStats> stats = statistics(records, input.deltaHOverR);
  {
    // A creator is a name from the system or a caller: kept as it is when plain, else read as
    // Windows-1252, so that the document's XML gets valid UTF-8 either way.
    std::string creator = input.creator.empty() ? thisComputer().user : input.creator;
    if (!std::all_of(creator.begin(), creator.end(), [](char c) { return c >= 0x20 && c < 0x7F; }))
      creator = utf8FromAnsi(creator);
    Book book(scratch.file(), scratch.path(), {"Readings of " + serial, creator, input.application});
    if (!book.ok()) {
      error = "cannot start the spreadsheet";
      return false;
    }
    writeReadings(book, input, records, serial, cancelled);
    if (cancelled()) {
      error = "cancelled";
      return false;
    }

    writeExcursions(book, excursions);
    writeSummary(book, input, records, serial, excursions, stats, limitsOf);
    if (book.failure() != LXW_NO_ERROR) {
      error = std::string("the spreadsheet could not be formed: ") + lxw_strerror(book.failure());
      return false;
    }
    const lxw_error closed = book.close();
    if (closed != LXW_NO_ERROR) {
      error = std::string("the spreadsheet could not be written: ") + lxw_strerror(closed);
      return false;
    }
  }
  std::ifstream in(scratch.file(), std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    error = "cannot read the spreadsheet back from " + scratch.path();
    return false;
  }
  return true;
}

}  // namespace history
