#include "LogPane.h"

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>

#include "LogFile.h"

namespace {

constexpr size_t kChunkBytes = size_t{1} << 20;

}  // namespace

LogPane::LogPane(QPlainTextEdit* view, QObject* parent, size_t maxLines)
    : QObject(parent), view_(view), timer_(new QTimer(this)), maxLines_(std::max<size_t>(maxLines, 1)) {
  // Appending is all the program does to the pane; an undo history would only hold every line again.
  view_->setUndoRedoEnabled(false);
  // Typed text would pass for the program's own lines: selecting and copying is all the user does.
  view_->setReadOnly(true);
  view_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  timer_->setSingleShot(true);
  connect(timer_, &QTimer::timeout, this, [this] {
    if (feedPane()) schedule();
  });
}

LogPane::~LogPane() = default;

LogPane::Kind LogPane::classify(const QString& line) {
  if (line.startsWith(QLatin1String(" <<< "))) return Kind::Command;
  if (line.startsWith(QLatin1String("DBG>>>"))) return Kind::Debug;
  if (line.startsWith(QLatin1String("Fehler Messwert "))) return Kind::Record;
  // "<number> <time stamp>": the time stamp starts with a digit in every regional format.
  qsizetype digits = 0;
  while (digits < line.size() && line[digits].isDigit() && line[digits].unicode() < 128) ++digits;
  if (digits > 0 && digits + 1 < line.size() && line[digits] == QLatin1Char(' ') &&
      line[digits + 1].isDigit() && line[digits + 1].unicode() < 128)
    return Kind::Record;
  return Kind::Plain;
}

void LogPane::append(const QString& line, Kind kind) {
  const QByteArray utf8 = line.toUtf8();
  const size_t size = static_cast<size_t>(utf8.size());
  if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < size) {
    chunks_.emplace_back();
    chunks_.back().reserve(std::max(kChunkBytes, size));
  }
  std::string& chunk = chunks_.back();
  lines_.push_back(Line{static_cast<uint32_t>(firstChunk_ + chunks_.size() - 1),
                        static_cast<uint32_t>(chunk.size()), static_cast<uint32_t>(size),
                        static_cast<uint8_t>(kind)});
  chunk.append(utf8.constData(), size);
  if (lines_.size() > maxLines_) dropOldest(lines_.size() - maxLines_);
}

void LogPane::dropOldest(size_t count) {
  if (fileUpTo_ < count) writeFile();  // the file gets every line
  lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(count));
  // Lines the pane had not got yet are skipped: under a flood only the newest ever reach it. The pane
  // then holds only lines older than every kept one and starts again.
  if (paneUpTo_ < count) paneStale_ = true;
  paneUpTo_ = paneUpTo_ > count ? paneUpTo_ - count : 0;
  fileUpTo_ -= count;
  dropped_ += count;
  while (!lines_.empty() && lines_.front().chunk != firstChunk_) {
    chunks_.pop_front();
    ++firstChunk_;
  }
}

QString LogPane::note() const {
  if (file_)
    return tr("[Older lines are no longer shown here; they are in the log file %1]")
        .arg(QString::fromLocal8Bit(file_->path().c_str()));
  return tr(
      "[Older lines were dropped from this pane; set TARNWICK_LOG_FILE to keep every line in a "
      "file]");
}

std::string_view LogPane::bytes(const Line& line) const {
  return std::string_view(chunks_[line.chunk - firstChunk_]).substr(line.offset, line.size);
}

QString LogPane::line(size_t index) const {
  std::string_view b = bytes(lines_[index]);
  return QString::fromUtf8(b.data(), static_cast<qsizetype>(b.size()));
}

bool LogPane::shown(const Line& line) const {
  switch (static_cast<Kind>(line.kind)) {
    case Kind::Command:
    case Kind::Answer:
    case Kind::Debug:
      return !hideProtocol_;
    case Kind::Record:
      return !hideRecords_;
    case Kind::Plain:
      break;
  }
  return true;
}

void LogPane::setFile(std::unique_ptr<LogFile> file) {
  file_ = std::move(file);
  fileUpTo_ = lines_.size();
}

void LogPane::flush() {
  writeFile();
  if (paneUpTo_ == lines_.size() || timer_->isActive()) return;
  // A backlog of a whole slice goes out at once; a trickle waits for the pacing interval.
  if (lines_.size() - paneUpTo_ < kSlice && sinceFeed_.isValid() && sinceFeed_.elapsed() < interval_) {
    schedule();
    return;
  }
  if (feedPane()) schedule();
}

void LogPane::writeFile() {
  if (!file_ || fileUpTo_ == lines_.size()) {
    fileUpTo_ = lines_.size();
    return;
  }
  std::string batch;
  for (; fileUpTo_ < lines_.size(); ++fileUpTo_) {
    batch.append(bytes(lines_[fileUpTo_]));
    batch.push_back('\n');
  }
  file_->append(batch.data(), batch.size());  // readable at once
}

void LogPane::schedule() {
  if (timer_->isActive()) return;
  const qint64 waited = sinceFeed_.isValid() ? sinceFeed_.elapsed() : interval_;
  // A backlog drains turn by turn; a trickle is gathered for the rest of the interval.
  const bool backlog = lines_.size() - paneUpTo_ >= kSlice;
  timer_->start(backlog ? 0 : static_cast<int>(std::max<qint64>(0, interval_ - waited)));
}

bool LogPane::feedPane() {
  if (paneStale_) {
    paneStale_ = false;
    view_->clear();
    view_->appendPlainText(note());
    noteShown_ = true;
  }
  QString batch;
  size_t taken = 0;
  for (; paneUpTo_ < lines_.size() && taken < kSlice; ++paneUpTo_) {
    const Line& l = lines_[paneUpTo_];
    if (!shown(l)) continue;
    std::string_view b = bytes(l);
    if (taken > 0) batch += QLatin1Char('\n');
    batch += QString::fromUtf8(b.data(), static_cast<qsizetype>(b.size()));
    ++taken;
  }
  if (taken > 0) {
    view_->appendPlainText(batch);
    trimPane();
  }
  sinceFeed_.start();
  interval_ = taken >= kFloodLines ? kFloodIntervalMs : kMinIntervalMs;
  return paneUpTo_ < lines_.size();
}

void LogPane::setHideProtocol(bool hide) {
  if (hide == hideProtocol_) return;
  hideProtocol_ = hide;
  rebuild();
}

void LogPane::setHideRecords(bool hide) {
  if (hide == hideRecords_) return;
  hideRecords_ = hide;
  rebuild();
}

void LogPane::trimPane() {
  QTextDocument* document = view_->document();
  const int keep = static_cast<int>(maxLines_);
  const int lines = document->blockCount() - (noteShown_ ? 1 : 0);
  if (lines <= keep + static_cast<int>(std::min(maxLines_, kSlice))) return;
  QTextCursor cursor(document);
  cursor.movePosition(QTextCursor::Start);
  if (noteShown_) cursor.movePosition(QTextCursor::NextBlock);
  cursor.setPosition(document->findBlockByNumber(document->blockCount() - keep).position(),
                     QTextCursor::KeepAnchor);
  cursor.removeSelectedText();
  if (!noteShown_) {
    cursor.insertText(note());
    cursor.insertBlock();
    noteShown_ = true;
  }
}

void LogPane::rebuild() {
  timer_->stop();
  view_->clear();
  paneStale_ = false;
  noteShown_ = dropped_ > 0;
  if (noteShown_) view_->appendPlainText(note());
  paneUpTo_ = 0;
  if (feedPane()) schedule();
  view_->verticalScrollBar()->setValue(view_->verticalScrollBar()->maximum());
}
