#include "asm/Expression.h"

#include <algorithm>
#include <limits>

namespace tw::redcode {

namespace {

constexpr int kMaxDepth = 1000;

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

// The grouping follows the reference assembler's evaluator, which reads
// left to right keeping one pushed-back operator: for ordinary expressions
// that is the usual precedence, left to right within a level, but a chain of
// comparisons whose right-hand side mixes higher levels groups its own way
// (17>4>=4-26+24%14==15 is 1, where strict precedence gives 0). Published
// warriors were written against that evaluator, so it is kept.
class Evaluator {
 public:
  Evaluator(const std::vector<Token>& tokens, Registers& registers, const SourceText& source)
      : tokens_(tokens), registers_(registers), source_(source) {}

  std::int64_t Whole() {
    const std::int64_t value = Group();
    if (pos_ < tokens_.size()) source_.Fail(tokens_[pos_], "\")\" without \"(\"");
    return value;
  }

 private:
  // A whole expression up to a ")" or the end.
  std::int64_t Group() { return Chain(-1, 0, nullptr); }

  // Applies `op` (nullptr: take the right-hand side as it is) to `left` and
  // what follows; `outer` is the precedence that ends this part of the chain.
  std::int64_t Chain(int outer, std::int64_t left, const Token* op) {
    if (++depth_ > kMaxDepth) {
      source_.Fail(tokens_[std::min(pos_, tokens_.size() - 1)], "expression nested too deeply");
    }
    for (;;) {
      pushedBack_ = nullptr;
      const std::int64_t right = Operand();
      if (pos_ == tokens_.size() || tokens_[pos_].kind == TokenKind::kRightParen) {
        --depth_;
        return Apply(op, left, right);
      }
      const Token* next = &tokens_[pos_];
      const int theirs = Precedence(next->kind);
      if (theirs == 0) source_.Fail(*next, "expected an operator before " + Describe(*next));
      ++pos_;
      const int mine = op == nullptr ? 0 : Precedence(op->kind);
      if (mine >= theirs) {
        if (theirs > outer) {
          left = Apply(op, left, right);
          op = next;
          continue;
        }
        pushedBack_ = next;
        --depth_;
        return Apply(op, left, right);
      }
      left = Apply(op, left, Chain(mine, right, next));
      if (pushedBack_ != nullptr && Precedence(pushedBack_->kind) >= outer) {
        op = pushedBack_;
        continue;
      }
      --depth_;
      return left;
    }
  }

  std::int64_t Operand() {
    if (pos_ == tokens_.size()) source_.FailAfter(tokens_.back(), "missing value");
    const Token& t = tokens_[pos_];
    if (++depth_ > kMaxDepth) source_.Fail(t, "expression nested too deeply");
    std::int64_t value = 0;
    switch (t.kind) {
      case TokenKind::kMinus:
        ++pos_;
        value = Wrap(0 - static_cast<std::uint64_t>(Operand()));
        break;
      case TokenKind::kPlus:
        ++pos_;
        value = Operand();
        break;
      case TokenKind::kBang:
        ++pos_;
        value = Operand() == 0 ? 1 : 0;
        break;
      case TokenKind::kLeftParen: {
        ++pos_;
        value = Group();
        if (pos_ == tokens_.size()) source_.FailAfter(tokens_.back(), "missing \")\"");
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
      registers_[static_cast<std::size_t>(index)] = Group();
    }
    return registers_[static_cast<std::size_t>(index)];
  }

  std::int64_t Apply(const Token* op, std::int64_t a, std::int64_t b) {
    if (op == nullptr) return b;
    const auto ua = static_cast<std::uint64_t>(a);
    const auto ub = static_cast<std::uint64_t>(b);
    switch (op->kind) {
      case TokenKind::kPlus:
        return Wrap(ua + ub);
      case TokenKind::kMinus:
        return Wrap(ua - ub);
      case TokenKind::kStar:
        return Wrap(ua * ub);
      case TokenKind::kSlash:
      case TokenKind::kPercent: {
        if (b == 0) source_.Fail(*op, "division by zero");
        const bool overflow = a == std::numeric_limits<std::int64_t>::min() && b == -1;
        if (op->kind == TokenKind::kSlash) return overflow ? a : a / b;
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
  const Token* pushedBack_ = nullptr;
};

}  // namespace

std::int64_t EvaluateExpression(const std::vector<Token>& tokens, Registers& registers,
                                const SourceText& source, const Token& before) {
  if (tokens.empty()) source.FailAfter(before, "missing value");
  return Evaluator(tokens, registers, source).Whole();
}

}  // namespace tw::redcode
