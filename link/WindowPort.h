// The window entry points that the link and data layers call.
//
// Every entry point may be called from any thread. Implementations carry the effects out on the
// GUI thread in the order of the calls. The calls that return an answer (the save dialog, message
// boxes, the length field) block the calling worker until the GUI thread answers; the GUI thread
// never waits for a worker. Texts are Windows-1252 byte strings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "data/Messwert.h"

enum class MessageKind { Error, Information };

// Where a download's CSV text goes: nowhere (the user cancelled), into the chosen file, or only to the
// caller with LinkEvent DownloadSaved (a caller that puts the records somewhere else itself).
enum class SaveTarget { Cancelled, File, CallerOnly };

// The operations a window or a command line starts on the link (link/Operations.h).
enum class Operation { None, Download, SetTime, FirmwareUpdate, MemoryLoad, MemorySave, RawCommand };
// How an operation ended.
enum class Outcome {
  Done,          // finished: the file written, the clock set, the logger restarts with the new image
  NoRecords,     // a download of a logger that holds no records: nothing written
  UpToDate,      // a firmware update of a logger whose firmware is not older than the image
  Failed,        // the logger refused or broke off
  NoAnswer,      // the answer time-out expired
  Cancelled,     // the user (or the caller) chose not to go on, or another operation replaced it
  Disconnected,  // the link ended while the operation was under way
  FileError,     // the file could not be created or written
};

// What the link learns along the way, for a status display or a command line. Reported in order
// with the other entry points, from any thread; the log lines stay the full record.
struct LinkEvent {
  enum class Kind {
    Connected,          // text: the logger's serial-number string ("" for an old device), device
    Disconnected,       // the link ended (unplugged, stopped or closed)
    SoftwareVersion,    // text: the firmware version the logger reports
    StoredRecords,      // value: the records the logger reports stored
    RecordCount,        // value: the same, asked for on its own (USBInterface::countOnly): no download
    DataProgress,       // value: packets received of total (a download or a memory read)
    FirmwareProgress,   // value: packets of the firmware image sent of total
    FirmwareRestart,    // the logger was told to update and restarts now
    DownloadSaved,      // text: the file ("" when the caller takes the records itself), value:
                        // records written, records: those records, csv: the file's text,
                        // skipped: records left out (impossible time stamps)
    MemorySaved,        // text: the file, value: bytes written
    OperationFinished,  // operation, outcome; value: records (a download) or bytes (a memory load or
                        // save) written, skipped: records left out, text: the file (a download, a
                        // memory load), the answer (a raw command) or the logger's firmware version
                        // (up to date). Exactly once per operation started through link/Operations.h.
  };
  LinkEvent(Kind k) : kind(k) {}  // NOLINT: implicit, so that linkEvent({Kind::X}) reads well

  Kind kind;
  int64_t value = 0;
  int64_t total = 0;
  int64_t skipped = 0;
  std::string text;
  // Connected only: where the logger was reached, "USB" or "virtual" (empty when not known).
  std::string device;
  // OperationFinished only.
  Operation operation = Operation::None;
  Outcome outcome = Outcome::Done;
  // DownloadSaved only: the records written and the CSV text, valid during the call.
  const std::vector<messwert_tag>* records = nullptr;
  const std::string* csv = nullptr;
};

class WindowPort {
 public:
  virtual ~WindowPort() = default;

  // Stop the answer time-out, leave the busy state, append the line to the log.
  virtual void errorMsg(const std::string& line) = 0;
  // Append the line to the log (mmoDebug).
  virtual void infoMsg(const std::string& line) = 0;
  virtual void startBusy() = 0;
  virtual void stopBusy() = 0;
  // Append a line to the service console's response memo (mmoResponse).
  virtual void responseLine(const std::string& line) = 0;

  // The answer time-out timer (timTimeout).
  virtual void timeoutEnable(bool enabled) = 0;
  virtual void timeoutInterval(int milliseconds) = 0;

  // SaveDialog1: true and the chosen path (a native file name) when the user chose a file.
  virtual bool saveDialog(std::string& path) = 0;
  // The same dialog for a memory dump: it offers no earlier file name and asks before it lets the
  // user choose a file that exists.
  virtual bool dumpSaveDialog(std::string& path) { return saveDialog(path); }
  // Where a download goes; a window always asks its save dialog.
  virtual SaveTarget downloadTarget(std::string& path) {
    return saveDialog(path) ? SaveTarget::File : SaveTarget::Cancelled;
  }
  // A modal message box with one OK button; returns when it was closed.
  virtual void messageBox(MessageKind kind, const std::string& caption, const std::string& text) = 0;
  // The current text of the service console's length field (edLength).
  virtual std::string lengthText() = 0;

  // A step of the link (see LinkEvent); nothing by default. Implementations copy what they keep.
  virtual void linkEvent(const LinkEvent& event) { (void)event; }
};

// Captions of the message boxes.
constexpr char kCaptionError[] = "Error";
constexpr char kCaptionInformation[] = "Information";
constexpr char kCaptionFileError[] = "Fehler";
