#include "asm/Expression.h"

#include <limits>

namespace tw::redcode {

namespace {

constexpr int kMaxDepth = 200;

int Precedence(TokenKind kind) {
  switch (kind) {
    case TokenKind::kStar:
    case TokenKind::kSlash:
    case TokenKind::kPercent:
      return 5;
    case TokenKind::kPlus:
    case TokenKind::kMinus:
      return 4;
    case TokenKind::kLess:
    case TokenKind::kGreater:
    case TokenKind::kLessEqual:
    case TokenKind::kGreaterEqual:
    case TokenKind::kEqual:
    case TokenKind::kNotEqual:
      return 3;
    case TokenKind::kAndAnd:
      return 2;
    case TokenKind::kOrOr:
      return 1;
    default:
      return 0;
  }
}

std::int64_t Wrap(std::uint64_t v) { return static_cast<std::int64_t>(v); }

class Evaluator {
 public:
  Evaluator(const std::vector<Token>& tokens, Registers& registers, const SourceText& source)
      : tokens_(tokens), registers_(registers), source_(source) {}

  std::int64_t Whole() {
    const std::int64_t value = Binary(1);
    if (pos_ < tokens_.size()) {
      const Token& t = tokens_[pos_];
      if (t.kind == TokenKind::kRightParen) source_.Fail(t, "\")\" without \"(\"");
      source_.Fail(t, "expected an operator before " + Describe(t));
    }
    return value;
  }

 private:
  std::int64_t Binary(int min_precedence) {
    std::int64_t left = Unary();
    while (pos_ < tokens_.size()) {
      const Token& op = tokens_[pos_];
      const int precedence = Precedence(op.kind);
      if (precedence == 0 || precedence < min_precedence) break;
      ++pos_;
      const std::int64_t right = Binary(precedence + 1);
      left = Apply(op, left, right);
    }
    return left;
  }

  std::int64_t Unary() {
    if (pos_ == tokens_.size()) source_.FailAfter(tokens_.back(), "missing value");
    const Token& t = tokens_[pos_];
    if (++depth_ > kMaxDepth) source_.Fail(t, "expression nested too deeply");
    std::int64_t value = 0;
    switch (t.kind) {
      case TokenKind::kMinus:
        ++pos_;
        value = Wrap(0 - static_cast<std::uint64_t>(Unary()));
        break;
      case TokenKind::kPlus:
        ++pos_;
        value = Unary();
        break;
      case TokenKind::kBang:
        ++pos_;
        value = Unary() == 0 ? 1 : 0;
        break;
      case TokenKind::kLeftParen: {
        ++pos_;
        value = Binary(1);
        if (pos_ == tokens_.size()) source_.FailAfter(tokens_.back(), "missing \")\"");
        if (tokens_[pos_].kind != TokenKind::kRightParen) {
          source_.Fail(tokens_[pos_], "expected \")\" before " + Describe(tokens_[pos_]));
        }
        ++pos_;
        break;
      }
      case TokenKind::kNumber:
        ++pos_;
        value = t.has_value ? t.value : Digits(t);
        break;
      case TokenKind::kIdentifier:
        ++pos_;
        value = Register(t);
        break;
      default:
        source_.Fail(t, "expected a value, not " + Describe(t));
    }
    --depth_;
    return value;
  }

  std::int64_t Digits(const Token& t) {
    std::uint64_t value = 0;
    for (char c : t.text) {
      const auto digit = static_cast<std::uint64_t>(c - '0');
      if (value >
          (static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - digit) / 10) {
        source_.Fail(t, "number " + Describe(t) + " is too large");
      }
      value = value * 10 + digit;
    }
    return static_cast<std::int64_t>(value);
  }

  std::int64_t Register(const Token& t) {
    const char c = t.text.size() == 1 ? t.text[0] : '\0';
    int index = -1;
    if (c >= 'a' && c <= 'z') index = c - 'a';
    if (c >= 'A' && c <= 'Z') index = c - 'A';
    if (index < 0) source_.Fail(t, "undefined symbol " + Describe(t));
    if (pos_ < tokens_.size() && tokens_[pos_].kind == TokenKind::kAssign) {
      ++pos_;
      registers_[static_cast<std::size_t>(index)] = Binary(1);
    }
    return registers_[static_cast<std::size_t>(index)];
  }

  std::int64_t Apply(const Token& op, std::int64_t a, std::int64_t b) {
    const auto ua = static_cast<std::uint64_t>(a);
    const auto ub = static_cast<std::uint64_t>(b);
    switch (op.kind) {
      case TokenKind::kPlus:
        return Wrap(ua + ub);
      case TokenKind::kMinus:
        return Wrap(ua - ub);
      case TokenKind::kStar:
        return Wrap(ua * ub);
      case TokenKind::kSlash:
      case TokenKind::kPercent: {
        if (b == 0) source_.Fail(op, "division by zero");
        const bool overflow = a == std::numeric_limits<std::int64_t>::min() && b == -1;
        if (op.kind == TokenKind::kSlash) return overflow ? a : a / b;
        return overflow ? 0 : a % b;
      }
      case TokenKind::kLess:
        return a < b;
      case TokenKind::kGreater:
        return a > b;
      case TokenKind::kLessEqual:
        return a <= b;
      case TokenKind::kGreaterEqual:
        return a >= b;
      case TokenKind::kEqual:
        return a == b;
      case TokenKind::kNotEqual:
        return a != b;
      case TokenKind::kAndAnd:
        return a != 0 && b != 0;
      case TokenKind::kOrOr:
        return a != 0 || b != 0;
      default:
        return 0;
    }
  }

  const std::vector<Token>& tokens_;
  Registers& registers_;
  const SourceText& source_;
  std::size_t pos_ = 0;
  int depth_ = 0;
};

}  // namespace

std::int64_t EvaluateExpression(const std::vector<Token>& tokens, Registers& registers,
                                const SourceText& source, const Token& before) {
  if (tokens.empty()) source.FailAfter(before, "missing value");
  return Evaluator(tokens, registers, source).Whole();
}

}  // namespace tw::redcode
