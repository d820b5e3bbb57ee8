#include "report/Report.h"

#include <QBuffer>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>

#include "history/Digest.h"
#include "history/Excursions.h"
#include "history/Limits.h"
#include "history/TimeText.h"
#include "history/ZoneSpans.h"
#include "report/ReportChart.h"

namespace report {
namespace {

// Long tables end after this many rows with a line that says how many more there are: a report of
// years of a logger swinging around a limit would otherwise run to thousands of pages. The whole list
// is in the window and in the command line's excursions.
constexpr size_t kMostExcursionRows = 2000;
constexpr size_t kMostGapRows = 200;
constexpr size_t kMostAlarmsInVerdict = 3;
constexpr int kResolution = 1200;  // device units per inch: fine enough for every line of the chart

QString q(const std::string& text) {
  return QString::fromStdString(text);
}

// Text the history keeps comes from loggers and files: Windows-1252 where it is not UTF-8.
QString fromStored(const std::string& text) {
  const QString utf8 = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  if (!utf8.contains(QChar::ReplacementCharacter)) return utf8;
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// The serial as the history keeps it, with the name and place people gave the logger.
QString loggerShown(const std::string& serial, const history::LoggerLabel& label) {
  QStringList parts;
  for (const std::string* part : {&label.name, &label.place})
    if (!part->empty()) parts << QString::fromUtf8(part->data(), static_cast<qsizetype>(part->size()));
  return parts.isEmpty()
             ? fromStored(serial)
             : QStringLiteral("%1 (%2)").arg(fromStored(serial), parts.join(QStringLiteral(", ")));
}

QString number(double value, int decimals) {
  if (!std::isfinite(value)) return QStringLiteral("–");
  return QString::number(value, 'f', decimals);
}

QString bound(const std::optional<double>& value, const char* unit) {
  return value ? QStringLiteral("%1 %2").arg(*value, 0, 'g', 6).arg(QString::fromUtf8(unit))
               : QStringLiteral("open");
}

struct Column {
  QString title;
  double width;  // points; the last column takes what is left
  Qt::Alignment align = Qt::AlignLeft;
  bool wrap = false;  // may take several lines (paths, names); other cells stay on one line
};

// The pages: a cursor that moves down, a new page (with its header and footer) when a block does not
// fit. Run twice: first only measuring, to learn the number of pages, then drawing.
class Pages {
 public:
  Pages(QPdfWriter& writer, QPainter* painter, const Input& input, int total)
      : writer_(writer), painter_(painter), input_(input), total_(total) {
    unit_ = kResolution / 72.0;
    const QRect full = writer.pageLayout().paintRectPixels(kResolution);
    page_ = QRectF(0, 0, full.width(), full.height());
    const QString family = QStringLiteral("DejaVu Sans");
    body_ = QFont(family);
    body_.setStyleHint(QFont::SansSerif);
    // Without shaping Latin text keeps its plain letters: no "fi" or "ff" ligatures, so what a reader
    // copies or searches (a file's path, "Sign-off") is what was written.
    body_.setStyleStrategy(QFont::PreferNoShaping);
    body_.setPointSizeF(9);
    bold_ = body_;
    bold_.setBold(true);
    small_ = body_;
    small_.setPointSizeF(7.5);
    smallBold_ = small_;
    smallBold_.setBold(true);
    heading_ = bold_;
    heading_.setPointSizeF(11.5);
    mono_ = QFont(QStringLiteral("DejaVu Sans Mono"));
    mono_.setStyleHint(QFont::Monospace);
    mono_.setStyleStrategy(QFont::PreferNoShaping);
    mono_.setPointSizeF(8.5);
    title_ = bold_;
    title_.setPointSizeF(17);
    const double margin = QFontMetricsF(small_, &writer_).height() * 1.8;
    content_ = QRectF(page_.left(), page_.top() + margin, page_.width(), page_.height() - 2 * margin);
    y_ = content_.top();
    header();
  }

  double unit() const { return unit_; }
  int page() const { return page_number_; }
  double width() const { return content_.width(); }
  double left() const { return content_.left(); }
  double y() const { return y_; }
  QPainter* painter() const { return painter_; }
  const QFont& body() const { return body_; }
  const QFont& bold() const { return bold_; }
  const QFont& small() const { return small_; }

  void finish() { footer(); }

  void newPage() {
    footer();
    if (painter_) writer_.newPage();
    ++page_number_;
    y_ = content_.top();
    header();
  }
  // Room for `height` more on this page, or a new one.
  void need(double height) {
    if (y_ + height > content_.bottom() && y_ > content_.top() + 1) newPage();
  }
  bool fits(double height) const { return y_ + height <= content_.bottom(); }
  void skip(double points) { y_ += points * unit_; }
  void take(double height) { y_ += height; }

  double textHeight(const QString& text, const QFont& font, double width,
                    int flags = Qt::TextWordWrap) const {
    const QFontMetricsF metrics(font, &writer_);
    return metrics.boundingRect(QRectF(0, 0, width, 1e9), flags, text).height();
  }
  double lineHeight(const QFont& font) const { return QFontMetricsF(font, &writer_).height(); }

  void paragraph(const QString& text, const QFont& font, double after = 3) {
    const double h = textHeight(text, font, content_.width());
    need(h);
    if (painter_) {
      painter_->setFont(font);
      painter_->setPen(Qt::black);
      painter_->drawText(QRectF(content_.left(), y_, content_.width(), h), Qt::TextWordWrap, text);
    }
    y_ += h + after * unit_;
  }

  void heading(const QString& text, double firstBlock) {
    const double h = lineHeight(heading_);
    // A heading never ends a page alone: it takes the first lines of what it heads with it.
    need(h + 6 * unit_ + firstBlock);
    y_ += 6 * unit_;
    if (painter_) {
      painter_->setFont(heading_);
      painter_->setPen(Qt::black);
      painter_->drawText(QRectF(content_.left(), y_, content_.width(), h), Qt::AlignLeft | Qt::AlignVCenter,
                         text);
      painter_->setPen(QPen(QColor(150, 150, 150), 0.5 * unit_));
      painter_->drawLine(QLineF(content_.left(), y_ + h, content_.right(), y_ + h));
    }
    y_ += h + 4 * unit_;
  }

  void title(const QString& text) {
    const double h = lineHeight(title_);
    if (painter_) {
      painter_->setFont(title_);
      painter_->setPen(Qt::black);
      painter_->drawText(QRectF(content_.left(), y_, content_.width(), h), Qt::AlignLeft | Qt::AlignVCenter,
                         text);
    }
    y_ += h + 4 * unit_;
  }

  // "Label   value" with the value wrapped in its column.
  void field(const QString& label, const QString& value, bool fixedPitch = false) {
    const double labelWidth = 128 * unit_;
    const double valueWidth = content_.width() - labelWidth;
    const QFont& font = fixedPitch ? mono_ : body_;
    // Words stay whole where they fit; the digest (fixed pitch) may break anywhere.
    const int wrap = fixedPitch ? Qt::TextWrapAnywhere : Qt::TextWordWrap;
    const double h = std::max(lineHeight(body_), textHeight(value, font, valueWidth, wrap));
    need(h);
    if (painter_) {
      painter_->setPen(Qt::black);
      painter_->setFont(bold_);
      painter_->drawText(QRectF(content_.left(), y_, labelWidth, h), Qt::AlignLeft | Qt::AlignTop, label);
      painter_->setFont(font);
      painter_->drawText(QRectF(content_.left() + labelWidth, y_, valueWidth, h),
                         Qt::AlignLeft | Qt::AlignTop | wrap, value);
    }
    y_ += h + 1.5 * unit_;
  }

  // A table that goes on over pages, its header repeated on each.
  void table(const std::vector<Column>& columns, const std::vector<QStringList>& rows, const QString& empty) {
    std::vector<double> x{content_.left()};
    for (size_t c = 0; c + 1 < columns.size(); ++c) x.push_back(x.back() + columns[c].width * unit_);
    x.push_back(content_.right());
    const double pad = 2 * unit_;
    const double line = lineHeight(small_);
    double headerHeight = line;
    for (size_t c = 0; c < columns.size(); ++c)
      headerHeight =
          std::max(headerHeight, textHeight(columns[c].title, smallBold_, x[c + 1] - x[c] - 2 * pad));
    headerHeight += 2 * pad;
    const auto drawHeader = [&] {
      if (painter_) {
        painter_->fillRect(QRectF(content_.left(), y_, content_.width(), headerHeight),
                           QColor(232, 232, 232));
        painter_->setFont(smallBold_);
        painter_->setPen(Qt::black);
        for (size_t c = 0; c < columns.size(); ++c)
          painter_->drawText(QRectF(x[c] + pad, y_ + pad, x[c + 1] - x[c] - 2 * pad, headerHeight - 2 * pad),
                             columns[c].align | Qt::AlignVCenter | Qt::TextWordWrap, columns[c].title);
      }
      y_ += headerHeight;
    };
    need(headerHeight + line + 2 * pad);
    drawHeader();
    if (rows.empty()) {
      if (painter_) {
        painter_->setFont(small_);
        painter_->drawText(QRectF(content_.left() + pad, y_ + pad, content_.width(), line), Qt::AlignLeft,
                           empty);
      }
      y_ += line + 2 * pad;
      return;
    }
    for (const QStringList& row : rows) {
      double h = line;
      for (size_t c = 0; c < columns.size() && static_cast<qsizetype>(c) < row.size(); ++c)
        if (columns[c].wrap)
          h = std::max(h, textHeight(row[static_cast<qsizetype>(c)], small_, x[c + 1] - x[c] - 2 * pad,
                                     Qt::TextWrapAnywhere));
      h += 2 * pad;
      if (!fits(h)) {
        newPage();
        drawHeader();
      }
      if (painter_) {
        painter_->setFont(small_);
        painter_->setPen(Qt::black);
        for (size_t c = 0; c < columns.size() && static_cast<qsizetype>(c) < row.size(); ++c)
          painter_->drawText(QRectF(x[c] + pad, y_ + pad, x[c + 1] - x[c] - 2 * pad, h - 2 * pad),
                             columns[c].align | Qt::AlignTop | (columns[c].wrap ? Qt::TextWrapAnywhere : 0),
                             row[static_cast<qsizetype>(c)]);
        painter_->setPen(QPen(QColor(210, 210, 210), 0.4 * unit_));
        painter_->drawLine(QLineF(content_.left(), y_ + h, content_.right(), y_ + h));
      }
      y_ += h;
    }
    y_ += 2 * unit_;
  }

 private:
  void header() {
    if (!painter_) return;
    const double h = lineHeight(small_);
    painter_->setFont(small_);
    painter_->setPen(QColor(90, 90, 90));
    painter_->drawText(
        QRectF(page_.left(), page_.top(), page_.width(), h), Qt::AlignLeft | Qt::AlignTop,
        QStringLiteral("Measurement report · logger %1").arg(loggerShown(input_.serial, input_.label)));
    painter_->setPen(QPen(QColor(170, 170, 170), 0.4 * unit_));
    painter_->drawLine(QLineF(page_.left(), page_.top() + h * 1.3, page_.right(), page_.top() + h * 1.3));
  }
  void footer() {
    if (!painter_) return;
    const double h = lineHeight(small_);
    const double top = page_.bottom() - h;
    painter_->setPen(QPen(QColor(170, 170, 170), 0.4 * unit_));
    painter_->drawLine(QLineF(page_.left(), top - h * 0.3, page_.right(), top - h * 0.3));
    painter_->setFont(small_);
    painter_->setPen(QColor(90, 90, 90));
    painter_->drawText(QRectF(page_.left(), top, page_.width(), h), Qt::AlignLeft | Qt::AlignBottom,
                       QStringLiteral("Tarnwick %1 · made %2 UTC")
                           .arg(q(input_.version), q(timeText(input_.madeAt, std::nullopt))));
    painter_->drawText(QRectF(page_.left(), top, page_.width(), h), Qt::AlignRight | Qt::AlignBottom,
                       QStringLiteral("Page %1 of %2").arg(page_number_).arg(total_));
  }

  QPdfWriter& writer_;
  QPainter* painter_;
  const Input& input_;
  int total_;
  int page_number_ = 1;
  double unit_ = 1;
  QRectF page_, content_;
  double y_ = 0;
  QFont body_, bold_, small_, smallBold_, heading_, title_, mono_;
};

// What the report shows, worked out once before the pages are laid out.
struct Facts {
  std::vector<uint16_t> sensors;
  std::vector<history::SensorStats> stats;
  history::ExcursionResult excursions;  // with the coverage: gaps and readings not to be trusted
  std::string digest;
  std::string verdict;
  std::map<int64_t, int64_t> perSource;
  int64_t checksumErrors = 0;
  int64_t first = 0, last = 0;
  std::vector<history::ZoneSpan> spans;  // empty without a recorded zone
  bool singleOffset = false;             // one zone over all readings: tables give it in their titles
};

std::optional<int32_t> offsetAt(const std::optional<history::ClockOffsets>& clock, int64_t time) {
  if (!clock) return std::nullopt;
  return clock->at(time).offset;
}
QString timeQ(int64_t seconds, const Input& input) {
  return q(timeText(seconds, offsetAt(input.clock, seconds)));
}
// Tables give the offset once, in the column's title, so that a time fits its column; where it
// changes over the range, each time carries its own.
QString zoneSuffix(const Facts& facts) {
  return facts.singleOffset
             ? QStringLiteral(" (%1)").arg(q(history::offsetText(facts.spans.front().zone.offset)))
             : QString();
}
QString cellTime(int64_t seconds, const Input& input, const Facts& facts) {
  return facts.singleOffset || !input.clock ? q(timeText(seconds, std::nullopt)) : timeQ(seconds, input);
}

// The verdict first and plain to see.
void layoutVerdict(Pages& pages, const Facts& facts) {
  QPainter* painter = pages.painter();
  const double u = pages.unit();
  // Green only for readings held to limits and found within them; red for alarms; grey when there is
  // nothing to judge (no limits, no readings); amber when, without an alarm, the readings do not cover
  // the period with values to trust.
  const history::VerdictKind kind = history::verdictKind(facts.excursions);
  const bool alarms = kind == history::VerdictKind::alarms;
  const bool within = kind == history::VerdictKind::within;
  const bool incomplete = kind == history::VerdictKind::incomplete;
  {
    const QString text = QStringLiteral("Verdict: %1").arg(q(facts.verdict));
    QFont font = pages.bold();
    font.setPointSizeF(11);
    const double h = pages.textHeight(text, font, pages.width() - 14 * u) + 8 * u;
    if (painter) {
      const QColor colour = alarms       ? QColor(190, 30, 30)
                            : incomplete ? QColor(215, 140, 0)
                            : within     ? QColor(30, 130, 60)
                                         : QColor(120, 120, 120);
      painter->fillRect(QRectF(pages.left(), pages.y(), 4 * u, h), colour);
      painter->fillRect(QRectF(pages.left() + 4 * u, pages.y(), pages.width() - 4 * u, h),
                        alarms       ? QColor(250, 234, 234)
                        : incomplete ? QColor(253, 243, 222)
                        : within     ? QColor(235, 245, 237)
                                     : QColor(238, 238, 238));
      painter->setFont(font);
      painter->setPen(Qt::black);
      painter->drawText(QRectF(pages.left() + 10 * u, pages.y() + 4 * u, pages.width() - 14 * u, h - 8 * u),
                        Qt::TextWordWrap, text);
    }
    pages.take(h);
    pages.skip(8);
  }
}

// The logger, its clock, the period, the readings and their digest.
void layoutFacts(Pages& pages, const Input& input, const Facts& facts) {
  const history::Coverage& coverage = facts.excursions.coverage;
  const int64_t gapCount = coverage.runs[static_cast<size_t>(history::ReasonKind::gap)];
  QStringList sensorNames;
  for (uint16_t s : facts.sensors) sensorNames << QString::number(s);
  const int64_t readings = static_cast<int64_t>(input.records.size());
  pages.field(QStringLiteral("Logger"), loggerShown(input.serial, input.label));
  pages.field(QStringLiteral("Firmware (last seen)"),
              input.firmware.empty() ? QStringLiteral("not recorded") : fromStored(input.firmware));
  pages.field(QStringLiteral("Sensors"),
              sensorNames.isEmpty() ? QStringLiteral("none") : sensorNames.join(", "));
  QString zone = QStringLiteral("not recorded: times are the logger's clock, without a zone");
  if (!facts.spans.empty()) {
    QStringList parts;
    for (const history::ZoneSpan& span : facts.spans) {
      QString part =
          QStringLiteral("%1 (%2)").arg(fromStored(span.zone.name), q(history::offsetText(span.zone.offset)));
      if (facts.spans.size() > 1)
        part += QStringLiteral(" from %1 to %2").arg(timeQ(span.first, input), timeQ(span.last, input));
      parts << part;
    }
    zone = parts.join(QStringLiteral("; "));
    if (!input.clock->recorded())
      zone = QStringLiteral("not recorded; taken as this computer's zone, ") + zone;
  }
  pages.field(QStringLiteral("Logger clock zone"), zone);
  pages.field(
      QStringLiteral("Times"),
      facts.spans.empty()
          ? QStringLiteral(
                "readings, excursions and gaps in the logger's clock (its zone not "
                "recorded); downloads, file imports, limit changes and this report's making in UTC")
          : QStringLiteral("readings, excursions and gaps in the logger's clock, with its offset from "
                           "UTC (+01:00, for example: one hour ahead of UTC); downloads, file imports, limit "
                           "changes and this "
                           "report's making in UTC"));
  pages.field(QStringLiteral("Period"),
              readings == 0
                  ? QStringLiteral("no readings")
                  : QStringLiteral("%1 to %2").arg(timeQ(facts.first, input), timeQ(facts.last, input)));
  if (input.from != INT64_MIN || input.to != INT64_MAX)
    pages.field(
        QStringLiteral("Range asked for"),
        QStringLiteral("%1 to %2")
            .arg(input.from == INT64_MIN ? QStringLiteral("the first reading") : timeQ(input.from, input),
                 input.to == INT64_MAX ? QStringLiteral("the last reading") : timeQ(input.to, input)));
  pages.field(
      QStringLiteral("Readings"),
      facts.checksumErrors == 0
          ? QString::number(readings)
          : QStringLiteral("%1, of which %2 with a check-sum error (left out of values and excursions)")
                .arg(readings)
                .arg(facts.checksumErrors));
  pages.field(QStringLiteral("Logging interval"),
              coverage.interval == 0
                  ? QStringLiteral("not known (fewer than two readings of a sensor)")
                  : QStringLiteral("%1 (the usual step between readings); %2 longer than %3")
                        .arg(q(history::durationText(coverage.interval)),
                             gapCount == 0   ? QStringLiteral("no gaps")
                             : gapCount == 1 ? QStringLiteral("1 gap")
                                             : QStringLiteral("%1 gaps").arg(gapCount),
                             q(history::durationText(2 * coverage.interval))));
  pages.field(QStringLiteral("Readings (SHA-256)"), q(facts.digest), true);
  if (!input.auditHead.empty()) pages.field(QStringLiteral("Audit trail head"), q(input.auditHead), true);
  pages.field(
      QStringLiteral("Report made"),
      QStringLiteral("%1 UTC by Tarnwick %2").arg(q(timeText(input.madeAt, std::nullopt)), q(input.version)));
  pages.paragraph(
      QStringLiteral("The digest is taken over the readings listed in this report in the history's "
                     "order; \"tarnwick-cli history --digest\" over the same logger, sensors and "
                     "range prints the same."),
      pages.small(), 2);
}

void layoutSources(Pages& pages, const Input& input, const Facts& facts) {
  const double u = pages.unit();
  // Where the readings came from.
  pages.heading(QStringLiteral("Where the readings came from"), 30 * u);
  {
    std::vector<QStringList> rows;
    for (const auto& [id, count] : facts.perSource) {
      const auto found = input.sources.find(id);
      if (found == input.sources.end()) {
        rows.push_back({QStringLiteral("–"), QStringLiteral("not recorded"), QString(), QString(), QString(),
                        QString(), QString::number(count)});
        continue;
      }
      const Source& s = found->second;
      const auto orDash = [](const std::string& text) {
        return text.empty() ? QStringLiteral("–") : fromStored(text);
      };
      rows.push_back({q(timeText(s.when, std::nullopt)) + QStringLiteral(" UTC"),
                      s.fromFile ? QStringLiteral("File opened") : QStringLiteral("Download"), orDash(s.host),
                      orDash(s.user), orDash(s.device), orDash(s.file), QString::number(count)});
    }
    pages.table({{QStringLiteral("When"), 84},
                 {QStringLiteral("What"), 50},
                 {QStringLiteral("Computer"), 62, Qt::AlignLeft, true},
                 {QStringLiteral("User"), 50, Qt::AlignLeft, true},
                 {QStringLiteral("Device"), 36},
                 {QStringLiteral("File"), 180, Qt::AlignLeft, true},
                 {QStringLiteral("Readings"), 0, Qt::AlignRight}},
                rows, QStringLiteral("No readings."));
  }
}

void layoutLimits(Pages& pages, const Input& input, const Facts& facts) {
  const double u = pages.unit();
  // Limits.
  pages.heading(QStringLiteral("Limits and alarm rules"), 30 * u);
  {
    std::vector<QStringList> rows;
    for (uint16_t s : facts.sensors) {
      const auto found = input.limits.find(s);
      const history::Limits limits = found == input.limits.end() ? history::Limits() : found->second;
      for (const auto& [name, unit, ql] : {std::tuple{"Temperature", "°C", limits.temperature},
                                           std::tuple{"Humidity", "%RH", limits.humidity}}) {
        if (!ql.limited()) {
          rows.push_back({QString::number(s), QString::fromUtf8(name), QStringLiteral("none"), QString(),
                          QString(), QString()});
          continue;
        }
        rows.push_back({QString::number(s), QString::fromUtf8(name), bound(ql.lower, unit),
                        bound(ql.upper, unit), q(history::durationText(ql.delay)),
                        QString::fromUtf8(history::ruleName(ql.rule))});
      }
    }
    pages.table({{QStringLiteral("Sensor"), 40},
                 {QStringLiteral("Quantity"), 80},
                 {QStringLiteral("Lower limit"), 80},
                 {QStringLiteral("Upper limit"), 80},
                 {QStringLiteral("Alarm delay"), 80},
                 {QStringLiteral("Alarm rule"), 0}},
                rows, QStringLiteral("No sensors."));
    pages.paragraph(
        QStringLiteral("A value equal to a limit is within it. Rules: instant - every excursion "
                       "alarms; consecutive - an excursion lasting at least the delay; cumulative - "
                       "every excursion on a side once the time outside on that side reaches the "
                       "delay."),
        pages.small(), 2);
    pages.paragraph(
        QStringLiteral("Latest change of the limits: %1")
            .arg(input.limitChange.empty() ? QStringLiteral("none recorded") : fromStored(input.limitChange)),
        pages.small(), 2);
    // The verdict applies the limits as they are set now: every change that made them, with who, where
    // and why.
    if (!input.limitChanges.empty()) {
      pages.paragraph(QStringLiteral("Changes of the limits that made them (oldest first):"), pages.small(),
                      1);
      for (const history::LimitChange& change : input.limitChanges)
        pages.paragraph(QStringLiteral("\u2022 ") + fromStored(history::limitChangeText(change)),
                        pages.small(), 1);
      pages.skip(1);
    }
  }
}

// False when the caller stopped the report.
bool layoutCharts(Pages& pages, const Input& input, const Facts& facts, const Progress& progress) {
  QPainter* painter = pages.painter();
  const double u = pages.unit();
  // The charts: one per quantity.
  for (history::Measure quantity : {history::Measure::temperature, history::Measure::humidity}) {
    const double h = 230 * u;
    pages.need(h + 6 * u);
    pages.skip(6);
    if (painter) {
      ChartInput chart;
      chart.records = &input.records;
      chart.quantity = quantity;
      chart.sensors = facts.sensors;
      chart.limits = &input.limits;
      chart.excursions = &facts.excursions.excursions;
      chart.breakAfter = 2 * facts.excursions.coverage.interval;
      if (!facts.spans.empty()) chart.utcOffset = facts.spans.front().zone.offset;
      chart.offsetChanges = facts.spans.size() > 1;
      drawChart(*painter, QRectF(pages.left(), pages.y(), pages.width(), h), u, chart);
    }
    pages.take(h);
    if (progress && !progress(quantity == history::Measure::temperature ? 0.7 : 0.85)) return false;
  }

  return true;
}

void layoutStatistics(Pages& pages, const Input& input, const Facts& facts) {
  const double u = pages.unit();
  // Statistics per sensor.
  pages.heading(QStringLiteral("Statistics per sensor"), 40 * u);
  {
    std::vector<QStringList> rows;
    for (const history::SensorStats& s : facts.stats) {
      const history::SensorExcursions* ex = nullptr;
      for (const history::SensorExcursions& e : facts.excursions.sensors)
        if (e.sensor == s.sensor) ex = &e;
      const auto times = [&](const history::QuantityExcursions* qe, bool above) {
        if (qe == nullptr || !qe->limited) return QStringLiteral("–");
        return q(history::durationText(above ? qe->timeAbove : qe->timeBelow));
      };
      const auto counts = [&](const history::QuantityExcursions* qe) {
        if (qe == nullptr || !qe->limited) return QStringLiteral("–");
        return QStringLiteral("%1 / %2").arg(qe->excursions).arg(qe->alarms);
      };
      const history::QuantityExcursions* t = ex ? &ex->temperature : nullptr;
      const history::QuantityExcursions* hq = ex ? &ex->humidity : nullptr;
      rows.push_back({QString::number(s.sensor), QStringLiteral("Temperature (°C)"), QString::number(s.count),
                      number(s.temperature.min, 2), number(s.temperature.mean, 2),
                      number(s.temperature.max, 2), number(s.meanKineticTemperature, 2), times(t, true),
                      times(t, false), counts(t)});
      rows.push_back({QString::number(s.sensor), QStringLiteral("Humidity (%RH)"), QString(),
                      number(s.humidity.min, 1), number(s.humidity.mean, 1), number(s.humidity.max, 1),
                      QString(), times(hq, true), times(hq, false), counts(hq)});
    }
    pages.table({{QStringLiteral("Sensor"), 36},
                 {QStringLiteral("Quantity"), 82},
                 {QStringLiteral("Readings"), 46, Qt::AlignRight},
                 {QStringLiteral("Min"), 42, Qt::AlignRight},
                 {QStringLiteral("Mean"), 42, Qt::AlignRight},
                 {QStringLiteral("Max"), 42, Qt::AlignRight},
                 {QStringLiteral("MKT"), 42, Qt::AlignRight},
                 {QStringLiteral("Time above"), 58, Qt::AlignRight},
                 {QStringLiteral("Time below"), 58, Qt::AlignRight},
                 {QStringLiteral("Excursions / alarms"), 0, Qt::AlignRight}},
                rows, QStringLiteral("No readings."));
    pages.paragraph(QStringLiteral("Readings with a check-sum error are counted but left out of the values. "
                                   "MKT: mean kinetic temperature, ΔH/R = %1 K.")
                        .arg(input.deltaHOverR, 0, 'f', 0),
                    pages.small(), 2);
  }
}

void layoutExcursions(Pages& pages, const Input& input, const Facts& facts) {
  const double u = pages.unit();
  // Every excursion.
  pages.heading(QStringLiteral("Excursions"), 30 * u);
  {
    const std::vector<history::Excursion>& all = facts.excursions.excursions;
    std::vector<QStringList> rows;
    rows.reserve(std::min(all.size(), kMostExcursionRows));
    for (size_t i = 0; i < all.size() && i < kMostExcursionRows; ++i) {
      const history::Excursion& e = all[i];
      const bool temperature = e.quantity == history::Measure::temperature;
      const int decimals = temperature ? 2 : 1;
      rows.push_back(
          {QString::number(i + 1), QString::number(e.sensor),
           QStringLiteral("%1 %2").arg(temperature ? QStringLiteral("Temp.") : QStringLiteral("Humidity"),
                                       QString::fromUtf8(history::sideName(e.side))),
           cellTime(e.start, input, facts),
           cellTime(e.end, input, facts) + (e.endsOutside ? QStringLiteral(" *") : QString()),
           q(history::durationText(e.duration)), QString::number(e.readings), number(e.extreme, decimals),
           number(e.limit, decimals), e.alarm ? QStringLiteral("ALARM") : QStringLiteral("no")});
    }
    pages.table({{QStringLiteral("#"), 20, Qt::AlignRight},
                 {QStringLiteral("Sensor"), 34, Qt::AlignRight},
                 {QStringLiteral("Quantity, side"), 58},
                 {QStringLiteral("Start") + zoneSuffix(facts), 84, Qt::AlignLeft, !facts.singleOffset},
                 {QStringLiteral("End") + zoneSuffix(facts), 90, Qt::AlignLeft, !facts.singleOffset},
                 {QStringLiteral("Duration"), 60, Qt::AlignRight},
                 {QStringLiteral("Readings"), 42, Qt::AlignRight},
                 {QStringLiteral("Extreme"), 40, Qt::AlignRight},
                 {QStringLiteral("Limit"), 30, Qt::AlignRight},
                 {QStringLiteral("Alarm"), 0, Qt::AlignRight}},
                rows, QStringLiteral("No excursions."));
    if (all.size() > kMostExcursionRows)
      pages.paragraph(
          QStringLiteral("… and %1 more excursions, not listed here (tarnwick-cli excursions lists "
                         "them all).")
              .arg(all.size() - kMostExcursionRows),
          pages.small(), 2);
    // Comments on the excursions listed: each stands beside the earlier ones, by the excursion's number.
    QStringList commented;
    for (size_t i = 0; i < all.size(); ++i) {
      const history::Excursion& e = all[i];
      for (const history::ExcursionComment& c : input.comments) {
        if (c.sensor != e.sensor || c.start != e.start || c.quantity != history::measureName(e.quantity))
          continue;
        QString text = QStringLiteral("#%1 (sensor %2, %3 %4, from %5):")
                           .arg(i + 1)
                           .arg(e.sensor)
                           .arg(QString::fromUtf8(history::measureName(e.quantity)),
                                QString::fromUtf8(history::sideName(e.side)), timeQ(e.start, input));
        if (!c.cause.empty()) text += QStringLiteral(" cause: ") + QString::fromUtf8(c.cause.c_str());
        if (!c.action.empty())
          text += (c.cause.empty() ? QStringLiteral(" action: ") : QStringLiteral("; action: ")) +
                  QString::fromUtf8(c.action.c_str());
        text += QStringLiteral(" \u2014 ") + fromStored(history::whenAndWhoText(c.utc, c.who));
        commented << text;
      }
    }
    if (!commented.isEmpty()) {
      pages.paragraph(QStringLiteral("Comments on the excursions (cause, corrective action, by whom, when):"),
                      pages.small(), 1);
      for (const QString& text : commented)
        pages.paragraph(QStringLiteral("\u2022 ") + text, pages.small(), 1);
      pages.skip(1);
    }
    bool endsOutside = false;
    for (const history::Excursion& e : all) endsOutside = endsOutside || e.endsOutside;
    if (endsOutside)
      pages.paragraph(QStringLiteral("* The readings end outside the limit: the end is the last reading."),
                      pages.small(), 2);
  }
}

void layoutGaps(Pages& pages, const Input& input, const Facts& facts) {
  const double u = pages.unit();
  const history::Coverage& coverage = facts.excursions.coverage;
  const int64_t gapCount = coverage.runs[static_cast<size_t>(history::ReasonKind::gap)];
  if (gapCount > 0) {
    pages.heading(QStringLiteral("Gaps longer than %1").arg(q(history::durationText(2 * coverage.interval))),
                  30 * u);
    std::vector<QStringList> rows;
    for (const history::Reason& g : coverage.reasons) {
      if (g.kind != history::ReasonKind::gap || rows.size() == kMostGapRows) continue;
      rows.push_back({g.sensor ? QString::number(*g.sensor) : QStringLiteral("all"),
                      cellTime(g.start, input, facts), cellTime(g.end, input, facts),
                      q(history::durationText(g.end - g.start))});
    }
    pages.table({{QStringLiteral("Sensor"), 40, Qt::AlignRight},
                 {QStringLiteral("Last reading before") + zoneSuffix(facts), 130},
                 {QStringLiteral("First reading after") + zoneSuffix(facts), 130},
                 {QStringLiteral("Length"), 0}},
                rows, QString());
    if (gapCount > static_cast<int64_t>(rows.size()))
      pages.paragraph(QStringLiteral("… and %1 more gaps.").arg(gapCount - static_cast<int64_t>(rows.size())),
                      pages.small(), 2);
  }

  // The other reasons of an incomplete verdict, each with its times.
  {
    std::vector<QStringList> rows;
    int64_t total = 0;
    for (const history::ReasonKind kind :
         {history::ReasonKind::noValue, history::ReasonKind::notDownloaded, history::ReasonKind::fileOnly})
      total += coverage.runs[static_cast<size_t>(kind)];
    for (const history::Reason& r : coverage.reasons) {
      if (r.kind == history::ReasonKind::gap || rows.size() == kMostGapRows) continue;
      const QString what = r.kind == history::ReasonKind::noValue    ? QStringLiteral("without a value")
                           : r.kind == history::ReasonKind::fileOnly ? QStringLiteral("only from a file")
                                                                     : QStringLiteral("not downloaded");
      rows.push_back({r.sensor ? QString::number(*r.sensor) : QStringLiteral("all"), what,
                      cellTime(r.start, input, facts), cellTime(r.end, input, facts),
                      QString::number(r.count)});
    }
    if (total > 0) {
      pages.heading(QStringLiteral("Readings that cannot be trusted"), 30 * u);
      pages.table({{QStringLiteral("Sensor"), 40, Qt::AlignRight},
                   {QStringLiteral("Readings"), 90},
                   {QStringLiteral("From") + zoneSuffix(facts), 120},
                   {QStringLiteral("To") + zoneSuffix(facts), 120},
                   {QStringLiteral("Count"), 0, Qt::AlignRight}},
                  rows, QString());
      if (total > static_cast<int64_t>(rows.size()))
        pages.paragraph(QStringLiteral("… and %1 more runs.").arg(total - static_cast<int64_t>(rows.size())),
                        pages.small(), 2);
    }
  }
}

void layoutSignOff(Pages& pages, const Input& input, const Facts& facts) {
  QPainter* painter = pages.painter();
  const double u = pages.unit();
  // Sign-off: kept together on one page.
  {
    const double line = pages.lineHeight(pages.body());
    const double block = pages.lineHeight(pages.bold()) + 6 * u + 2 * (line * 2.6) + 12 * u;
    pages.heading(QStringLiteral("Sign-off"), block);
    // The electronic signatures of exactly these readings, in their order; the lines stay for paper.
    for (const history::KeptSignature& kept : input.signatures) {
      const history::Statement& s = kept.statement;
      if (!history::statementCovers(s, facts.digest, input.from, input.to, input.sensorsAsked)) continue;
      QString text =
          QStringLiteral("%1 by %2 (login %3) at %4, key %5")
              .arg(q(s.meaning.empty() ? s.meaning : char(std::toupper(s.meaning[0])) + s.meaning.substr(1)),
                   q(s.signerName), q(s.signerLogin), q(s.time), q(s.keyFingerprint));
      if (s.reviewSkipped) text += QStringLiteral(", without a review");
      if (!s.comment.empty()) text += QStringLiteral(": ") + q(s.comment);
      pages.paragraph(text, pages.body(), 2);
    }
    for (const QString& role : {QStringLiteral("Prepared by"), QStringLiteral("Reviewed by")}) {
      const double y = pages.y() + line * 1.6;
      if (painter) {
        painter->setFont(pages.body());
        painter->setPen(Qt::black);
        const double w = pages.width();
        const double x0 = pages.left();
        struct Part {
          QString label;
          double from, to;
        };
        const Part parts[] = {
            {role, 0, 0.45}, {QStringLiteral("Date"), 0.47, 0.64}, {QStringLiteral("Signature"), 0.66, 1.0}};
        for (const Part& p : parts) {
          const double labelWidth = QFontMetricsF(pages.body(), painter->device()).horizontalAdvance(p.label);
          painter->drawText(QRectF(x0 + w * p.from, y - line, labelWidth + 2 * u, line),
                            Qt::AlignLeft | Qt::AlignBottom, p.label);
          painter->setPen(QPen(Qt::black, 0.5 * u));
          painter->drawLine(QLineF(x0 + w * p.from + labelWidth + 4 * u, y, x0 + w * p.to, y));
        }
      }
      pages.take(line * 2.6);
    }
  }
}

void layout(Pages& pages, const Input& input, const Facts& facts, const Progress& progress, bool& stopped) {
  pages.title(QStringLiteral("Measurement report"));
  layoutVerdict(pages, facts);
  layoutFacts(pages, input, facts);
  layoutSources(pages, input, facts);
  layoutLimits(pages, input, facts);
  if ((progress && !progress(0.55)) || !layoutCharts(pages, input, facts, progress)) {
    stopped = true;
    return;
  }
  layoutStatistics(pages, input, facts);
  layoutExcursions(pages, input, facts);
  layoutGaps(pages, input, facts);
  layoutSignOff(pages, input, facts);
  pages.finish();
}

}  // namespace

std::string timeText(int64_t seconds, const std::optional<int32_t>& utcOffset) {
  return utcOffset ? history::isoWithOffset(seconds, *utcOffset) : history::calendarText(seconds, ' ');
}

std::string verdictLine(const std::vector<history::Excursion>& excursions, const std::string& verdict,
                        const std::optional<history::ClockOffsets>& clock) {
  std::string out = verdict;
  size_t listed = 0, alarms = 0;
  for (const history::Excursion& e : excursions) {
    if (!e.alarm) continue;
    ++alarms;
    if (listed == kMostAlarmsInVerdict) continue;
    char limit[32];
    std::snprintf(limit, sizeof limit, "%g", e.limit);
    out += listed == 0 ? ": " : "; ";
    out += "sensor " + std::to_string(e.sensor) + " " + history::measureName(e.quantity) + " " +
           history::sideName(e.side) + " " + limit +
           (e.quantity == history::Measure::temperature ? " \xC2\xB0"
                                                          "C"
                                                        : " %RH") +
           " from " + timeText(e.start, offsetAt(clock, e.start)) + " for " +
           history::durationText(e.duration);
    ++listed;
  }
  if (alarms > listed) out += "; and " + std::to_string(alarms - listed) + " more";
  return out;
}

void takeContext(Input& input, const history::LoggerContext& context) {
  input.limits = context.limits;
  input.limitChange = context.limitChange;
  input.limitChanges = context.limitChanges;
  input.label = context.label;
  input.comments = context.comments;
  input.clock = context.clock;
  input.firmware = context.firmware;
  input.auditHead = context.auditHead;
  input.signatures = context.signatures;
  for (const auto& [id, row] : context.downloads) {
    Source& source = input.sources[id];
    source.when = row.when;
    source.fromFile = row.fromFile;
    source.file = row.file;
    source.device = row.device;
    source.host = row.host;
    source.user = row.user;
  }
}

bool makePdf(const Input& input, std::string& pdf, Summary& summary, std::string& error,
             const Progress& progress) {
  if (QGuiApplication::instance() == nullptr) {
    error = "no Qt GUI application to draw the report with";
    return false;
  }
  Facts facts;
  std::set<uint16_t> sensors;
  for (const history::StoredRecord& r : input.records) {
    sensors.insert(r.record.sensorSerialNumber);
    facts.checksumErrors += r.checksumError ? 1 : 0;
    ++facts.perSource[r.download];
  }
  if (sensors.empty()) sensors.insert(input.sensorsAsked.begin(), input.sensorsAsked.end());
  facts.sensors.assign(sensors.begin(), sensors.end());
  if (!input.records.empty()) {
    facts.first = input.records.front().time;
    facts.last = input.records.front().time;
    for (const history::StoredRecord& r : input.records) {
      facts.first = std::min(facts.first, r.time);
      facts.last = std::max(facts.last, r.time);
    }
  }
  const auto stop = [&](double done) {
    if (progress && !progress(done)) {
      error = "cancelled";
      return true;
    }
    return false;
  };
  facts.stats = history::statistics(input.records, input.deltaHOverR);
  if (stop(0.1)) return false;
  facts.excursions = history::findExcursions(input.records, [&](uint16_t sensor) {
    const auto found = input.limits.find(sensor);
    return found == input.limits.end() ? history::Limits() : found->second;
  });
  if (stop(0.25)) return false;
  facts.digest = history::readingsDigest(input.records, input.clock ? &*input.clock : nullptr);
  if (stop(0.4)) return false;
  facts.verdict = verdictLine(facts.excursions.excursions, history::verdict(facts.excursions), input.clock);
  if (input.clock) {
    facts.spans = history::zoneSpans(input.records, *input.clock);
    facts.singleOffset = facts.spans.size() == 1;
  }
  if (stop(0.5)) return false;

  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QPdfWriter writer(&buffer);
  writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(16, 14, 16, 14),
                                   QPageLayout::Millimeter));
  writer.setResolution(kResolution);
  writer.setTitle(QStringLiteral("Measurement report: %1").arg(loggerShown(input.serial, input.label)));
  writer.setCreator(QStringLiteral("Tarnwick %1").arg(q(input.version)));

  // First only measured, for the number of pages.
  bool stopped = false;
  Pages measured(writer, nullptr, input, 0);
  layout(measured, input, facts, Progress(), stopped);
  const int total = measured.page();

  QPainter painter;
  if (!painter.begin(&writer)) {
    error = "cannot start the PDF";
    return false;
  }
  painter.setRenderHint(QPainter::Antialiasing);
  Pages pages(writer, &painter, input, total);
  layout(pages, input, facts, progress, stopped);
  painter.end();
  if (stopped) {
    error = "cancelled";
    return false;
  }
  if (pages.page() != total) {
    error = "the report's pages came out differently when drawn";
    return false;
  }
  pdf.assign(bytes.constData(), static_cast<size_t>(bytes.size()));
  summary.pages = total;
  summary.readings = static_cast<int64_t>(input.records.size());
  summary.alarms = facts.excursions.alarms();
  summary.verdict = facts.verdict;
  summary.digest = facts.digest;
  return true;
}

struct GuiSession::App {
  int argc = 1;
  char name[16] = "tarnwick-cli";
  char* argv[2] = {name, nullptr};
  std::unique_ptr<QGuiApplication> application;
};

// Qt's own notes (a missing runtime folder, font fallbacks) are not the business of a command-line
// user; only its critical messages get through.
void quietQt(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", qPrintable(message));
}

GuiSession::GuiSession() {
  if (QCoreApplication::instance() != nullptr) return;
  // Drawn for a file, never shown: no display needed.
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  qInstallMessageHandler(quietQt);
  app_ = std::make_unique<App>();
  app_->application = std::make_unique<QGuiApplication>(app_->argc, app_->argv);
}

GuiSession::~GuiSession() {
  if (app_) qInstallMessageHandler(nullptr);
}

}  // namespace report
