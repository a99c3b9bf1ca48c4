#include "asm/Token.h"

#include "asm/Warrior.h"

namespace tw::redcode {

int KeywordOf(std::string_view word) {
  // Every keyword has three letters.
  if (word.size() != 3) return -1;
  char upper[3];
  for (int i = 0; i < 3; ++i) {
    const char c = word[static_cast<std::size_t>(i)];
    upper[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  }
  const std::string_view key(upper, 3);
  static constexpr std::string_view kPseudo[] = {"ORG", "END", "PIN", "FOR", "ROF", "EQU"};
  for (std::size_t i = 0; i < kOpcodeNames.size(); ++i) {
    if (kOpcodeNames[i] == key) return static_cast<int>(i);
  }
  for (std::size_t i = 0; i < 6; ++i) {
    if (kPseudo[i] == key) return kKeywordOrg + static_cast<int>(i);
  }
  return -1;
}

std::string Describe(const Token& token) {
  std::string shown;
  for (char c : token.text) {
    const unsigned char u = static_cast<unsigned char>(c);
    shown += (u < 0x20 || u >= 0x7F) ? '?' : c;
  }
  return "\"" + shown + "\"";
}

bool IsModeSymbol(TokenKind kind) { return ModeIndex(kind) >= 0; }

int ModeIndex(TokenKind kind) {
  switch (kind) {
    case TokenKind::kHash:
      return 0;
    case TokenKind::kDollar:
      return 1;
    case TokenKind::kAt:
      return 2;
    case TokenKind::kLess:
      return 3;
    case TokenKind::kGreater:
      return 4;
    case TokenKind::kStar:
      return 5;
    case TokenKind::kOpenBrace:
      return 6;
    case TokenKind::kCloseBrace:
      return 7;
    default:
      return -1;
  }
}

}  // namespace tw::redcode
