#include "data/CsvWriter.h"

namespace csv {

void Writer::header(std::string& out, const char* firstColumns) const {
  out += firstColumns;
  out += kHeader;
  out += "\r\n";
}

bool Writer::line(std::string& out, const messwert_tag& record, bool flagged, std::string* why,
                  size_t* dateLength) const {
  messwert::TimeStamp ts;
  std::string unused;
  if (!messwert::timeStamp(record, ts, why != nullptr ? *why : unused)) return false;
  const size_t start = out.size();
  appendDateTime(out, ts, format_);
  if (dateLength != nullptr) *dateLength = out.size() - start;
  const bool comment = rule_ == CommentRule::Flag ? flagged : messwert::checksum(record) != 0;
  appendFields(out, record, format_.decimalSeparator, comment);
  return true;
}

}  // namespace csv
