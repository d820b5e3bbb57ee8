// The binary form of a server's COPY ... TO STDOUT, read as it arrives in pieces: a signature and
// header, rows of a field count and each field's length and bytes, and a trailer (a field count of -1)
// that says the stream is whole. Everything comes from outside the process: each length is bounded and
// checked before its bytes are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace history {

class CopyReader {
 public:
  // The longest field a row of the history has; a longer one is not a stream of ours.
  static constexpr int64_t kMaxField = 1 << 16;

  explicit CopyReader(int fields) : fields_(fields) {}

  enum class Next { row, more, end, bad };
  // Adds the next piece of the stream.
  void feed(const char* data, size_t size);
  // The next whole row (`fields` point into the reader until the next feed; a NULL is an empty view
  // with `null` set), `more` when the row is not complete yet, `end` after the trailer, `bad` (with
  // why()) when the stream is not as expected.
  Next next(std::vector<std::string_view>& fields, std::vector<bool>* null = nullptr);
  // Whether the trailer came: a stream that stops before it is cut.
  bool ended() const { return ended_; }
  const std::string& why() const { return why_; }

 private:
  Next fail(const char* what) {
    why_ = what;
    bad_ = true;
    return Next::bad;
  }

  int fields_;
  std::string pending_;
  size_t at_ = 0;
  bool header_ = false, ended_ = false, bad_ = false;
  std::string why_;
};

}  // namespace history
