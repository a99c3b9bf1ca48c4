#pragma once
// The tokens of Redcode source. A token remembers where it was written (line
// and column), so every later step can point at it in an error.

#include <cstdint>
#include <string>
#include <string_view>

namespace tw::redcode {

enum class TokenKind : std::uint8_t {
  kNumber,      // decimal digits, or a value put in place of a symbol
  kIdentifier,  // a letter or "_", then letters, digits and "_"
  kHash,        // #
  kDollar,      // $
  kAt,          // @
  kLess,        // <  (a mode, or "less than" inside an expression)
  kGreater,     // >  (a mode, or "greater than")
  kStar,        // *  (a mode, or multiplication)
  kOpenBrace,   // {
  kCloseBrace,  // }
  kLeftParen,
  kRightParen,
  kPlus,
  kMinus,
  kSlash,
  kPercent,
  kBang,          // !
  kAssign,        // =  (register assignment)
  kEqual,         // ==
  kNotEqual,      // !=
  kLessEqual,     // <=
  kGreaterEqual,  // >=
  kAndAnd,        // &&
  kOrOr,          // ||
  kComma,
  kDot,
  kColon,
  kAmpersand,  // & (joins a name and a FOR counter)
  kOther,      // any other byte
};

struct Token {
  TokenKind kind = TokenKind::kOther;
  // True when no blank separates this token from the one before it.
  bool joined = false;
  // 1-based line of the source file and 1-based byte column in that line.
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  // The token as written: a view into the source line (or into the
  // assembly's NameStore), which outlives every token of the assembly. A
  // symbol put in place keeps the text of its name.
  std::string_view text;
  // For kNumber tokens that stand for a symbol's value; digits written in the
  // source keep has_value false and are read from `text` when evaluated.
  bool has_value = false;
  std::int64_t value = 0;
  // For identifiers: the keyword they spell in any letter case (see
  // KeywordOf), else -1.
  std::int8_t keyword = -1;
};

// Keyword numbers: 0..18 the operations of kOpcodeNames, then these.
inline constexpr int kKeywordOrg = 19;
inline constexpr int kKeywordEnd = 20;
inline constexpr int kKeywordPin = 21;
inline constexpr int kKeywordFor = 22;
inline constexpr int kKeywordRof = 23;
inline constexpr int kKeywordEqu = 24;

// The keyword a word spells, ignoring letter case, or -1.
int KeywordOf(std::string_view word);

// How a token is named in an error message: its text in quotes.
std::string Describe(const Token& token);

// True for the eight addressing-mode symbols # $ @ < > * { }.
bool IsModeSymbol(TokenKind kind);

// The mode number (0..7, in the order # $ @ < > * { }) of a mode symbol.
int ModeIndex(TokenKind kind);

}  // namespace tw::redcode
