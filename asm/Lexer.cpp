#include "asm/Lexer.h"

namespace tw::redcode {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

struct Symbol {
  char first, second;
  TokenKind kind;
};

// Two-character symbols first, so they win over their first character.
constexpr Symbol kSymbols[] = {
    {'&', '&', TokenKind::kAndAnd},    {'|', '|', TokenKind::kOrOr},
    {'=', '=', TokenKind::kEqual},     {'!', '=', TokenKind::kNotEqual},
    {'<', '=', TokenKind::kLessEqual}, {'>', '=', TokenKind::kGreaterEqual},
    {'#', 0, TokenKind::kHash},        {'$', 0, TokenKind::kDollar},
    {'@', 0, TokenKind::kAt},          {'<', 0, TokenKind::kLess},
    {'>', 0, TokenKind::kGreater},     {'*', 0, TokenKind::kStar},
    {'{', 0, TokenKind::kOpenBrace},   {'}', 0, TokenKind::kCloseBrace},
    {'(', 0, TokenKind::kLeftParen},   {')', 0, TokenKind::kRightParen},
    {'+', 0, TokenKind::kPlus},        {'-', 0, TokenKind::kMinus},
    {'/', 0, TokenKind::kSlash},       {'%', 0, TokenKind::kPercent},
    {'!', 0, TokenKind::kBang},        {'=', 0, TokenKind::kAssign},
    {',', 0, TokenKind::kComma},       {'.', 0, TokenKind::kDot},
    {':', 0, TokenKind::kColon},       {'&', 0, TokenKind::kAmpersand},
};

}  // namespace

std::vector<Token> LexLine(std::string_view text, std::uint32_t line) {
  std::vector<Token> tokens;
  tokens.reserve(16);
  std::size_t i = 0;
  bool blank_before = true;
  while (i < text.size()) {
    const char c = text[i];
    if (IsBlank(c)) {
      blank_before = true;
      ++i;
      continue;
    }
    if (c == ';') break;
    Token token;
    token.joined = !blank_before;
    token.line = line;
    token.column = static_cast<std::uint32_t>(i + 1);
    std::size_t end = i + 1;
    if (IsDigit(c)) {
      while (end < text.size() && IsDigit(text[end])) ++end;
      token.kind = TokenKind::kNumber;
    } else if (IsLetter(c)) {
      while (end < text.size() && (IsLetter(text[end]) || IsDigit(text[end]))) ++end;
      token.kind = TokenKind::kIdentifier;
    } else {
      token.kind = TokenKind::kOther;
      for (const Symbol& s : kSymbols) {
        if (s.first != c) continue;
        if (s.second != 0) {
          if (i + 1 < text.size() && text[i + 1] == s.second) {
            token.kind = s.kind;
            end = i + 2;
            break;
          }
          continue;
        }
        token.kind = s.kind;
        break;
      }
    }
    token.text = text.substr(i, end - i);
    if (token.kind == TokenKind::kIdentifier) {
      token.keyword = static_cast<std::int8_t>(KeywordOf(token.text));
    }
    tokens.push_back(std::move(token));
    blank_before = false;
    i = end;
  }
  return tokens;
}

}  // namespace tw::redcode
