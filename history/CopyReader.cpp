#include "history/CopyReader.h"

#include <cstring>

namespace history {
namespace {

int64_t bigEndian(const char* p, int size) {
  uint64_t v = 0;
  for (int i = 0; i < size; ++i) v = (v << 8) | static_cast<uint8_t>(p[i]);
  if (size == 2) return static_cast<int16_t>(static_cast<uint16_t>(v));
  if (size == 4) return static_cast<int32_t>(static_cast<uint32_t>(v));
  return static_cast<int64_t>(v);
}

constexpr char kSignature[] = "PGCOPY\n\377\r\n";
constexpr size_t kSignatureSize = 11;
constexpr size_t kHeader = kSignatureSize + 4 + 4;

}  // namespace

void CopyReader::feed(const char* data, size_t size) {
  // What is read already goes first, so the buffer holds one row and a piece at most.
  pending_.erase(0, at_);
  at_ = 0;
  pending_.append(data, size);
}

CopyReader::Next CopyReader::next(std::vector<std::string_view>& fields, std::vector<bool>* null) {
  if (bad_) return Next::bad;
  if (ended_) return pending_.size() > at_ ? fail("bytes after the stream's end") : Next::end;
  if (!header_) {
    if (pending_.size() < kHeader) return Next::more;
    if (std::memcmp(pending_.data(), kSignature, kSignatureSize) != 0) return fail("no COPY signature");
    const int64_t extension = bigEndian(pending_.data() + kSignatureSize + 4, 4);
    if (extension < 0 || extension > kMaxField) return fail("a header extension of a bad length");
    if (pending_.size() < kHeader + static_cast<size_t>(extension)) return Next::more;
    at_ = kHeader + static_cast<size_t>(extension);
    header_ = true;
  }
  if (pending_.size() - at_ < 2) return Next::more;
  const int64_t count = bigEndian(pending_.data() + at_, 2);
  if (count == -1) {
    at_ += 2;
    ended_ = true;
    return pending_.size() > at_ ? fail("bytes after the stream's end") : Next::end;
  }
  if (count != fields_) return fail("rows of another shape");
  fields.assign(static_cast<size_t>(fields_), std::string_view());
  if (null) null->assign(static_cast<size_t>(fields_), false);
  size_t p = at_ + 2;
  for (int f = 0; f < fields_; ++f) {
    if (pending_.size() - p < 4) return Next::more;
    const int64_t length = bigEndian(pending_.data() + p, 4);
    p += 4;
    if (length == -1) {
      if (null) (*null)[static_cast<size_t>(f)] = true;
      continue;
    }
    if (length < 0 || length > kMaxField) return fail("a field of a bad length");
    if (pending_.size() - p < static_cast<size_t>(length)) return Next::more;
    fields[static_cast<size_t>(f)] = std::string_view(pending_.data() + p, static_cast<size_t>(length));
    p += static_cast<size_t>(length);
  }
  at_ = p;
  return Next::row;
}

}  // namespace history
