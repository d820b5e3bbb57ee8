#include "LimitsDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "data/RegionalFormat.h"
#include "history/Limits.h"

namespace {

// People type numbers as the window shows them: with a decimal comma where that is the regional
// format. The parsers read a decimal point only.
std::string numberText(const QString& typed) {
  QString text = typed.trimmed();
  if (exportFormat().decimalSeparator == ',' && !text.contains(QLatin1Char('.')))
    text.replace(QLatin1Char(','), QLatin1Char('.'));
  return text.toStdString();
}

QString boundText(const std::optional<double>& value) {
  if (!value) return QString();
  QString text = QString::fromStdString(history::formatRange(value, std::nullopt));
  text.chop(1);  // the colon of "LOW:"
  if (exportFormat().decimalSeparator == ',') text.replace(QLatin1Char('.'), QLatin1Char(','));
  return text;
}

QString rangeText(const history::QuantityLimits& q, const QString& unit) {
  if (!q.limited()) return QObject::tr("none");
  const QString low = q.lower ? boundText(q.lower) : QObject::tr("open");
  const QString high = q.upper ? boundText(q.upper) : QObject::tr("open");
  return QStringLiteral("%1 to %2 %3").arg(low, high, unit);
}

}  // namespace

LimitsDialog::LimitsDialog(history::Store* store, const QString& logger, const std::vector<uint16_t>& sensors,
                           QWidget* parent)
    : QDialog(parent), store_(store), logger_(logger.toStdString()) {
  setWindowTitle(tr("Limits of %1").arg(logger));
  setObjectName(QStringLiteral("LimitsDialog"));

  appliesTo_ = new QComboBox;
  appliesTo_->setObjectName(QStringLiteral("appliesTo"));
  appliesTo_->addItem(tr("Every sensor of %1").arg(logger), -1);
  for (uint16_t sensor : sensors) appliesTo_->addItem(tr("Sensor %1 only").arg(sensor), sensor);
  const auto field = [](const char* name, const QString& placeholder) {
    auto* edit = new QLineEdit;
    edit->setObjectName(QLatin1String(name));
    edit->setPlaceholderText(placeholder);
    edit->setMaximumWidth(90);
    return edit;
  };
  temperatureLow_ = field("temperatureLow", tr("open"));
  temperatureHigh_ = field("temperatureHigh", tr("open"));
  humidityLow_ = field("humidityLow", tr("open"));
  humidityHigh_ = field("humidityHigh", tr("open"));
  delay_ = field("delay", QStringLiteral("0"));
  delay_->setToolTip(tr("How long readings may stay outside before they alarm: 0, 90s, 15m, 2h, 1h30m, 1d"));
  rule_ = new QComboBox;
  rule_->setObjectName(QStringLiteral("rule"));
  rule_->addItem(tr("consecutive: one excursion lasts the delay"), QStringLiteral("consecutive"));
  rule_->addItem(tr("cumulative: the time outside on one side adds up to the delay"),
                 QStringLiteral("cumulative"));
  rule_->addItem(tr("instant: every reading outside"), QStringLiteral("instant"));

  const auto pair = [](QLineEdit* low, QLineEdit* high, const QString& unit) {
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(tr("from")));
    row->addWidget(low);
    row->addWidget(new QLabel(tr("to")));
    row->addWidget(high);
    row->addWidget(new QLabel(unit));
    row->addStretch();
    return row;
  };
  auto* form = new QFormLayout;
  form->addRow(tr("Applies to:"), appliesTo_);
  form->addRow(tr("Temperature:"), pair(temperatureLow_, temperatureHigh_, QStringLiteral("°C")));
  form->addRow(tr("Humidity:"), pair(humidityLow_, humidityHigh_, QStringLiteral("%RH")));
  form->addRow(tr("Alarm delay:"), delay_);
  form->addRow(tr("Alarm rule:"), rule_);
  // Why they change: kept with the change, and needed once limits are set.
  reason_ = new QLineEdit;
  reason_->setObjectName(QStringLiteral("reason"));
  reason_->setMaxLength(static_cast<int>(history::kMaxNoteLength));
  reason_->setPlaceholderText(tr("needed to change or remove limits that are set"));
  form->addRow(tr("Reason for the change:"), reason_);

  note_ = new QLabel;
  note_->setObjectName(QStringLiteral("note"));
  note_->setWordWrap(true);
  note_->setTextFormat(Qt::PlainText);
  error_ = new QLabel;
  error_->setObjectName(QStringLiteral("error"));
  error_->setWordWrap(true);
  error_->setTextFormat(Qt::PlainText);  // it quotes what was typed
  error_->setStyleSheet(QStringLiteral("color: #b00000"));
  auto* hint =
      new QLabel(tr("A bound left empty is no limit on that side; a value equal to a limit is "
                    "within it."));
  hint->setWordWrap(true);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel);
  remove_ = buttons->addButton(tr("Remove these limits"), QDialogButtonBox::DestructiveRole);
  remove_->setObjectName(QStringLiteral("remove"));
  connect(buttons->button(QDialogButtonBox::Save), &QPushButton::clicked, this, [this] {
    if (save()) accept();
  });
  connect(remove_, &QPushButton::clicked, this, [this] {
    if (remove()) accept();
  });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(hint);
  layout->addWidget(note_);
  layout->addWidget(error_);
  layout->addWidget(buttons);

  std::string error;
  if (!store_->limitRows(logger_, rows_, error)) showError(QString::fromStdString(error));
  connect(appliesTo_, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &LimitsDialog::rowChosen);
  rowChosen();
}

std::string LimitsDialog::reasonText() const {
  return reason_->text().toStdString();
}

std::optional<uint16_t> LimitsDialog::chosenSensor() const {
  const int sensor = appliesTo_->currentData().toInt();
  if (sensor < 0) return std::nullopt;
  return static_cast<uint16_t>(sensor);
}

void LimitsDialog::rowChosen() {
  showError(QString());
  const std::optional<uint16_t> sensor = chosenSensor();
  const history::LimitsRow* own = nullptr;
  const history::LimitsRow* loggerWide = nullptr;
  for (const history::LimitsRow& row : rows_) {
    if (row.sensor == sensor) own = &row;
    if (!row.sensor) loggerWide = &row;
  }
  const history::Limits shown = own ? own->limits : history::Limits{};
  temperatureLow_->setText(boundText(shown.temperature.lower));
  temperatureHigh_->setText(boundText(shown.temperature.upper));
  humidityLow_->setText(boundText(shown.humidity.lower));
  humidityHigh_->setText(boundText(shown.humidity.upper));
  // One delay and rule for both quantities: those of temperature where it is limited.
  const history::QuantityLimits& timing =
      shown.temperature.limited() || !shown.humidity.limited() ? shown.temperature : shown.humidity;
  delay_->setText(QString::fromStdString(history::formatDelay(timing.delay)));
  rule_->setCurrentIndex(std::max(0, rule_->findData(QString::fromLatin1(history::ruleName(timing.rule)))));
  remove_->setEnabled(own != nullptr);
  if (own) {
    note_->setText(sensor ? tr("Sensor %1 has limits of its own.").arg(*sensor)
                          : tr("Sensors without limits of their own are held to these."));
  } else if (sensor && loggerWide) {
    note_->setText(tr("Sensor %1 has no limits of its own and is held to the logger's: temperature %2, "
                      "humidity %3. Saving gives it its own.")
                       .arg(*sensor)
                       .arg(rangeText(loggerWide->limits.temperature, QStringLiteral("°C")),
                            rangeText(loggerWide->limits.humidity, QStringLiteral("%RH"))));
  } else {
    note_->setText(tr("No limits are set."));
  }
}

void LimitsDialog::showError(const QString& text) {
  error_->setText(text);
}

QString LimitsDialog::errorText() const {
  return error_->text();
}

bool LimitsDialog::save() {
  history::Limits limits;
  std::string error;
  const auto range = [&](const char* what, QLineEdit* low, QLineEdit* high, history::QuantityLimits& out) {
    if (history::parseRange(numberText(low->text()) + ":" + numberText(high->text()), out.lower, out.upper,
                            error))
      return true;
    showError(tr("%1: %2").arg(tr(what), QString::fromStdString(error)));
    return false;
  };
  if (!range(QT_TR_NOOP("Temperature"), temperatureLow_, temperatureHigh_, limits.temperature) ||
      !range(QT_TR_NOOP("Humidity"), humidityLow_, humidityHigh_, limits.humidity))
    return false;
  const QString delayText = delay_->text().trimmed();
  int64_t delay = 0;
  if (!history::parseDelay(delayText.isEmpty() ? "0" : delayText.toStdString(), delay, error)) {
    showError(QString::fromStdString(error));
    return false;
  }
  history::AlarmRule rule = history::AlarmRule::consecutive;
  if (!history::parseRule(rule_->currentData().toString().toStdString(), rule, error)) {
    showError(QString::fromStdString(error));
    return false;
  }
  limits.temperature.delay = limits.humidity.delay = delay;
  limits.temperature.rule = limits.humidity.rule = rule;
  if (!store_->setLimits(logger_, chosenSensor(), limits, history::thisComputer(), error, reasonText())) {
    showError(tr("Not stored: %1").arg(QString::fromStdString(error)));
    reason_->setFocus();
    return false;
  }
  showError(QString());
  store_->limitRows(logger_, rows_, error);
  return true;
}

bool LimitsDialog::remove() {
  std::string error;
  if (!store_->clearLimits(logger_, chosenSensor(), history::thisComputer(), error, reasonText())) {
    showError(tr("Not removed: %1").arg(QString::fromStdString(error)));
    reason_->setFocus();
    return false;
  }
  store_->limitRows(logger_, rows_, error);
  return true;
}
