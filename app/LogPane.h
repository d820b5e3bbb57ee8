// The main window's log: the newest lines are kept once, compactly (UTF-8 in large chunks, with their
// kind), and the pane shows those the view filters let through. A filter only decides what the pane
// shows, and switching one rebuilds the pane from the kept lines. Both hold at most maxLines lines:
// a logger that floods the log must not take the memory. Once older lines are gone, the pane's first
// line says so; the log file (when there is one) gets every line before it is dropped. The pane
// takes no typed text: lines are only added by the program.
//
// The pane is fed in slices: at most one append every kMinIntervalMs while lines trickle in (every
// kFloodIntervalMs while they pour in, kFloodLines and more at a time), and kSlice lines per
// event-loop turn while a backlog drains. Each append lays out the last screen of the pane, and the
// pane keeps what it laid out: fewer, larger appends keep both the event loop free and the memory low.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class LogFile;
class QPlainTextEdit;
class QTimer;

class LogPane : public QObject {
  Q_OBJECT
 public:
  enum class Kind : uint8_t {
    Plain,    // anything else: the steps of an operation, failures
    Command,  // " <<< mem.used"
    Answer,   // the logger's answer to a command ("mem.used=2000")
    Debug,    // "DBG>>>..."
    Record,   // one line per downloaded record: "12 05.03.2017 14:07:09", "Fehler Messwert ..."
  };
  static constexpr qint64 kMinIntervalMs = 40;
  static constexpr qint64 kFloodIntervalMs = 80;
  static constexpr size_t kFloodLines = 100;
  static constexpr size_t kSlice = 1000;
  static constexpr size_t kMaxLines = 100000;

  explicit LogPane(QPlainTextEdit* view, QObject* parent = nullptr, size_t maxLines = kMaxLines);
  ~LogPane() override;

  // What a line is by its text alone; answers are told by the caller, which knows them.
  static Kind classify(const QString& line);

  void append(const QString& line, Kind kind);
  // Writes the lines added since the last call to the log file (if any) and brings the pane up to
  // date as far as the pacing allows; the rest follows from a timer.
  void flush();
  // Every line also goes to this file (appended, UTF-8, one line each), written at every flush.
  void setFile(std::unique_ptr<LogFile> file);

  void setHideProtocol(bool hide);
  void setHideRecords(bool hide);
  bool hidesProtocol() const { return hideProtocol_; }
  bool hidesRecords() const { return hideRecords_; }

  // The lines kept (the newest maxLines); droppedLines() older ones are gone.
  size_t lineCount() const { return lines_.size(); }
  size_t droppedLines() const { return dropped_; }
  QString line(size_t index) const;
  Kind kind(size_t index) const { return static_cast<Kind>(lines_[index].kind); }

 private:
  struct Line {
    uint32_t chunk;
    uint32_t offset;
    uint32_t size;
    uint8_t kind;
  };
  bool shown(const Line& line) const;
  std::string_view bytes(const Line& line) const;
  void writeFile();
  // Appends up to kSlice shown lines after those the pane has; true when lines are left.
  bool feedPane();
  void schedule();
  void rebuild();
  void dropOldest(size_t count);
  // Keeps the pane at maxLines lines (and the note above them), trimming in batches.
  void trimPane();
  QString note() const;

  QPlainTextEdit* view_;
  QTimer* timer_;
  QElapsedTimer sinceFeed_;
  qint64 interval_ = kMinIntervalMs;  // until the next append
  size_t maxLines_;
  std::deque<std::string> chunks_;
  uint32_t firstChunk_ = 0;  // the number of chunks_.front(), as Line::chunk counts
  std::deque<Line> lines_;
  size_t dropped_ = 0;
  bool noteShown_ = false;  // the pane's first line is the note
  bool paneStale_ = false;  // lines were dropped before the pane had them
  size_t paneUpTo_ = 0;     // lines before this index are in the pane (or hidden)
  size_t fileUpTo_ = 0;
  std::unique_ptr<LogFile> file_;
  bool hideProtocol_ = false;
  bool hideRecords_ = false;
};
