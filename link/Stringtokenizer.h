// Cuts a text into tokens separated by any of a set of delimiter characters. Runs of delimiters
// count as one, so no empty token is ever returned. Characters are compared as bytes.
#pragma once

#include <cstddef>
#include <string>

class tokenizer {
 public:
  tokenizer(const char* text, const char* delimiters);
  tokenizer(const std::string& text, const std::string& delimiters);

  bool hasMoreTokens() const;
  // The next token; called after hasMoreTokens() said true. Past the end it gives the empty text.
  std::string nextToken();

 private:
  bool isDelimiter(char c) const { return delimiters.find(c) != std::string::npos; }

  std::string delimiters;
  std::string token;
  std::string text;
  size_t position;
};
