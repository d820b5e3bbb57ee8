// The one writer of Tarnwick's CSV text: the file of a download, the measurements window's export and
// the history on the command line. A header, then one line per record with a possible time stamp, in
// the user's regional format (Windows-1252 texts, CR LF).
#pragma once

#include <cstddef>
#include <string>

#include "data/Messwert.h"
#include "data/RegionalFormat.h"

namespace csv {

// When a line's comment says "Check sum error".
enum class CommentRule {
  RecordChecksum,  // the record's own check sum fails (a download, as the logger sent it)
  Flag,            // the caller says so (records read back from the history or a file)
};

class Writer {
 public:
  Writer(const RegionalFormat& format, CommentRule rule) : format_(format), rule_(rule) {}

  // The header line, after `firstColumns` (e.g. "Logger;" for records of several loggers).
  void header(std::string& out, const char* firstColumns = "") const;
  // Appends the record's line and returns true; for an impossible time stamp appends nothing, returns
  // false and `why` says why. `dateLength` gets the bytes of the date and time the line starts with.
  // `flagged` counts only with CommentRule::Flag.
  bool line(std::string& out, const messwert_tag& record, bool flagged = false, std::string* why = nullptr,
            size_t* dateLength = nullptr) const;

  const RegionalFormat& format() const { return format_; }

 private:
  RegionalFormat format_;
  CommentRule rule_;
};

}  // namespace csv
