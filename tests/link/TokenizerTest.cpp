#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/Stringtokenizer.h"

namespace {
std::vector<std::string> tokens(const std::string& text, const char* delimiters) {
  tokenizer tok(text.c_str(), delimiters);
  std::vector<std::string> out;
  while (tok.hasMoreTokens()) out.push_back(tok.nextToken());
  return out;
}
}  // namespace

TEST(Tokenizer, AnswersSplitIntoNameAndArguments) {
  EXPECT_EQ(tokens("mem.used=12", "=,"), (std::vector<std::string>{"mem.used", "12"}));
  EXPECT_EQ(tokens("mem.used,12", "=,"), tokens("mem.used=12", "=,"));
  EXPECT_EQ(tokens("mem.load=0,4096", "=,"), (std::vector<std::string>{"mem.load", "0", "4096"}));
  EXPECT_EQ(tokens("mem.save", "=,"), (std::vector<std::string>{"mem.save"}));
}

TEST(Tokenizer, RunsOfDelimitersNeverGiveEmptyTokens) {
  EXPECT_EQ(tokens("=,a,,b=", "=,"), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(tokens("", "=,").empty());
  EXPECT_TRUE(tokens(",,,", "=,").empty());
  EXPECT_EQ(tokens("a=b", ""), (std::vector<std::string>{"a=b"}));
}

TEST(Tokenizer, BytesAreComparedExactly) {
  // High bytes are neither delimiters nor lost, and case matters.
  EXPECT_EQ(tokens("Ger\xE4t=\xFF", "="), (std::vector<std::string>{"Ger\xE4t", "\xFF"}));
  EXPECT_EQ(tokens("A=a", "a"), (std::vector<std::string>{"A="}));
}

TEST(Tokenizer, OwnsItsTextsAndStaysSafePastTheEnd) {
  std::string text = "x=1";
  tokenizer tok(text.c_str(), "=");
  text.assign("garbage");
  EXPECT_EQ(tok.nextToken(), "x");
  EXPECT_EQ(tok.nextToken(), "1");
  EXPECT_FALSE(tok.hasMoreTokens());
  EXPECT_EQ(tok.nextToken(), "");
  EXPECT_FALSE(tok.hasMoreTokens());
}
