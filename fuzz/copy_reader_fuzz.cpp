// The reader of a server's binary COPY stream with any bytes, cut into pieces anywhere: it never reads
// outside what it was given, a row has exactly its fields, no field is longer than the bound, and the
// rows and the outcome are the same however the stream was cut.
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "history/CopyReader.h"

namespace {

// The rows (fields joined by their lengths) and how the stream ended.
std::string readAll(const std::vector<std::vector<uint8_t>>& pieces, int fields) {
  history::CopyReader reader(fields);
  std::vector<std::string_view> row;
  std::vector<bool> null;
  std::string out;
  for (const std::vector<uint8_t>& piece : pieces) {
    // Each piece in a buffer of its own size, gone once fed: the reader must have copied it.
    std::vector<char> buffer(piece.begin(), piece.end());
    reader.feed(buffer.data(), buffer.size());
    buffer.assign(buffer.size(), '\0');
    for (;;) {
      const history::CopyReader::Next next = reader.next(row, &null);
      if (next == history::CopyReader::Next::more) break;
      if (next == history::CopyReader::Next::bad) return out + "|bad";
      if (next == history::CopyReader::Next::end) return out + "|end";
      if (row.size() != static_cast<size_t>(fields) || null.size() != row.size())
        fuzz::fail("a row without its fields");
      for (size_t f = 0; f < row.size(); ++f) {
        if (static_cast<int64_t>(row[f].size()) > history::CopyReader::kMaxField)
          fuzz::fail("a field too long");
        if (null[f] && !row[f].empty()) fuzz::fail("a NULL with bytes");
        out += std::to_string(row[f].size()) + ":" + std::string(row[f]) + ",";
      }
      out += ";";
    }
  }
  return out + (reader.ended() ? "|end" : "|cut");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const int fields = 1 + in.byte() % 8;
  const size_t cut = 1 + in.byte();
  // A valid header most of the time, so the rows are reached.
  std::vector<uint8_t> stream;
  if (in.byte() % 4 != 0) {
    const char header[] = "PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0";
    stream.assign(header, header + 19);
  }
  const std::vector<uint8_t> rest = in.bytes(in.left());
  stream.insert(stream.end(), rest.begin(), rest.end());
  const std::string whole = readAll({stream}, fields);
  std::vector<std::vector<uint8_t>> pieces;
  for (size_t at = 0; at < stream.size(); at += cut)
    pieces.emplace_back(stream.begin() + at, stream.begin() + std::min(stream.size(), at + cut));
  if (readAll(pieces, fields) != whole) fuzz::fail("the stream reads differently when cut into pieces");
  return 0;
}
