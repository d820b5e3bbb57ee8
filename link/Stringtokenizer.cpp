#include "link/Stringtokenizer.h"

tokenizer::tokenizer(const char* text_, const char* delimiters_)
    : delimiters(delimiters_ ? delimiters_ : ""), text(text_ ? text_ : ""), position(0) {}

tokenizer::tokenizer(const std::string& text_, const std::string& delimiters_)
    : tokenizer(text_.c_str(), delimiters_.c_str()) {}

bool tokenizer::hasMoreTokens() const {
  for (size_t i = position; i < text.size(); ++i)
    if (!isDelimiter(text[i])) return true;
  return false;
}

std::string tokenizer::nextToken() {
  size_t start = position;
  while (start < text.size() && isDelimiter(text[start])) ++start;
  size_t end = start;
  while (end < text.size() && !isDelimiter(text[end])) ++end;
  token = start < text.size() ? text.substr(start, end - start) : std::string();
  position = end < text.size() ? end : text.size() + 1;
  return token;
}
