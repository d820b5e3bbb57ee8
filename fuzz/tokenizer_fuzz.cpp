// The tokenizer on any text with any delimiter set. Besides not crashing, the tokens must cover the
// text exactly: never empty, never holding a delimiter, and together the text without its delimiters.
#include <string>

#include "fuzz/FuzzSupport.h"
#include "link/Stringtokenizer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const size_t delimiterCount = in.byte() % 6;
  const std::vector<uint8_t> delimiterBytes = in.bytes(delimiterCount);
  const std::vector<uint8_t> textBytes = in.bytes(in.left());
  // Both are C texts to the tokenizer: they end at their first zero byte.
  std::string delimiters(delimiterBytes.begin(), delimiterBytes.end());
  std::string text(textBytes.begin(), textBytes.end());
  delimiters = delimiters.c_str();
  text = text.c_str();

  tokenizer tok(text, delimiters);
  std::string joined;
  size_t tokens = 0;
  while (tok.hasMoreTokens()) {
    const std::string token = tok.nextToken();
    if (token.empty()) fuzz::fail("empty token");
    if (token.find_first_of(delimiters) != std::string::npos) fuzz::fail("delimiter inside a token");
    joined += token;
    if (++tokens > text.size()) fuzz::fail("more tokens than characters");
  }
  if (!tok.nextToken().empty() || !tok.nextToken().empty()) fuzz::fail("a token past the end");

  std::string expected;
  for (char c : text)
    if (delimiters.find(c) == std::string::npos) expected += c;
  if (joined != expected) fuzz::fail("tokens do not cover the text");
  return 0;
}
