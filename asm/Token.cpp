#include "asm/Token.h"

namespace tw::redcode {

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
