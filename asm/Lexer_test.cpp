#include "asm/Lexer.h"

#include <gtest/gtest.h>

namespace tw::redcode {
namespace {

TEST(Lexer, KindsColumnsAndJoins) {
  const std::string line = "x&i:\tMOV.ab #-12,<=>= &&|| ; comment";
  const std::vector<Token> t = LexLine(line, 7);
  const std::vector<TokenKind> kinds = {
      TokenKind::kIdentifier,   TokenKind::kAmpersand,  TokenKind::kIdentifier,
      TokenKind::kColon,        TokenKind::kIdentifier, TokenKind::kDot,
      TokenKind::kIdentifier,   TokenKind::kHash,       TokenKind::kMinus,
      TokenKind::kNumber,       TokenKind::kComma,      TokenKind::kLessEqual,
      TokenKind::kGreaterEqual, TokenKind::kAndAnd,     TokenKind::kOrOr};
  ASSERT_EQ(t.size(), kinds.size());
  for (std::size_t i = 0; i < kinds.size(); ++i) EXPECT_EQ(t[i].kind, kinds[i]) << i;
  EXPECT_EQ(t[4].text, "MOV");
  EXPECT_EQ(t[4].keyword, 1);  // MOV, in any letter case
  EXPECT_EQ(t[6].keyword, -1);
  EXPECT_EQ(t[4].line, 7u);
  EXPECT_EQ(t[4].column, 6u);  // after the tab
  EXPECT_TRUE(t[1].joined && t[2].joined && t[3].joined);
  EXPECT_FALSE(t[4].joined || t[13].joined);
  EXPECT_EQ(LexLine("  ; only a comment", 1).size(), 0u);
  EXPECT_EQ(LexLine("for Rof eQu", 1)[2].keyword, kKeywordEqu);
  EXPECT_EQ(LexLine("\x80 ?", 1)[0].kind, TokenKind::kOther);
}

}  // namespace
}  // namespace tw::redcode
