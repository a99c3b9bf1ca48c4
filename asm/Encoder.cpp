#include "asm/Encoder.h"

namespace tw::redcode {

int DefaultModifier(int opcode, int a_mode, int b_mode) {
  switch (opcode) {
    case kDat:
    case kNop:
      return kModF;
    case kMov:
    case kCmp:
    case kSeq:
    case kSne:
      if (a_mode == kImmediate) return kModAB;
      if (b_mode == kImmediate) return kModB;
      return kModI;
    case kAdd:
    case kSub:
    case kMul:
    case kDiv:
    case kMod:
      if (a_mode == kImmediate) return kModAB;
      if (b_mode == kImmediate) return kModB;
      return kModF;
    case kSlt:
    case kLdp:
    case kStp:
      return a_mode == kImmediate ? kModAB : kModB;
    default:
      return kModB;
  }
}

namespace {

constexpr std::size_t kMaxTextDepth = 64;

bool IsExpressionToken(TokenKind kind) {
  switch (kind) {
    case TokenKind::kNumber:
    case TokenKind::kIdentifier:
    case TokenKind::kLeftParen:
    case TokenKind::kRightParen:
    case TokenKind::kPlus:
    case TokenKind::kMinus:
    case TokenKind::kSlash:
    case TokenKind::kPercent:
    case TokenKind::kBang:
    case TokenKind::kAssign:
    case TokenKind::kEqual:
    case TokenKind::kNotEqual:
    case TokenKind::kLessEqual:
    case TokenKind::kGreaterEqual:
    case TokenKind::kAndAnd:
    case TokenKind::kOrOr:
      return true;
    default:
      return false;
  }
}

// Inside an expression "<", ">" and "*" are operators, not modes.
bool IsOperatorInExpression(TokenKind kind) {
  return IsExpressionToken(kind) || kind == TokenKind::kLess || kind == TokenKind::kGreater ||
         kind == TokenKind::kStar;
}

bool IsRegisterName(std::string_view name) {
  return name.size() == 1 &&
         ((name[0] >= 'a' && name[0] <= 'z') || (name[0] >= 'A' && name[0] <= 'Z'));
}

// The operand tokens of one statement, with EQU texts opened in place (only
// their first line, as for any name met in an operand).
class TokenStream {
 public:
  explicit TokenStream(const std::vector<Token>& tokens) {
    frames_.push_back({&tokens, 0, nullptr});
  }
  ~TokenStream() {
    for (Frame& f : frames_) {
      if (f.text != nullptr) f.text->expanding = false;
    }
  }
  TokenStream(const TokenStream&) = delete;
  TokenStream& operator=(const TokenStream&) = delete;

  const Token* Next() {
    while (!frames_.empty()) {
      Frame& f = frames_.back();
      if (f.pos < f.tokens->size()) return &(*f.tokens)[f.pos++];
      if (f.text != nullptr) f.text->expanding = false;
      frames_.pop_back();
    }
    return nullptr;
  }

  // False when texts are already nested too deeply.
  bool Open(EquText& text) {
    if (frames_.size() > kMaxTextDepth) return false;
    text.expanding = true;
    frames_.push_back({&text.lines[0].tokens, 0, &text});
    return true;
  }

 private:
  struct Frame {
    const std::vector<Token>* tokens;
    std::size_t pos;
    EquText* text;
  };
  std::vector<Frame> frames_;
};

// An instruction's operands as read: [.MODIFIER] [MODE] A [, [MODE] B].
struct Operands {
  int modifier = -1;  // -1: none written
  int a_mode = kDirect;
  int b_mode = kDirect;
  std::vector<Token> a;
  std::vector<Token> b;
  bool has_b = false;
};

// Reads the operands of one instruction token by token, failing at the first
// token that cannot stand where it is.
class OperandReader {
 public:
  explicit OperandReader(const SourceText& source) : source_(source) {}

  // True when the next token must be a modifier, which is read as written
  // (never as a name to look up).
  bool ExpectsModifier() const { return state_ == State::kModifier; }

  void Take(const Token& t) {
    switch (state_) {
      case State::kModeOrModifier:
        if (t.kind == TokenKind::kDot) {
          state_ = State::kModifier;
          complete_ = false;
          return;
        }
        [[fallthrough]];
      case State::kModeA:
      case State::kModeB:
        return TakeMode(t);
      case State::kModifier:
        return TakeModifier(t);
      case State::kValueA:
      case State::kValueB:
        return TakeValue(t);
    }
  }

  // The operands, once all tokens are taken; fails after `last` (the last
  // token read, or the operation) when they are incomplete.
  Operands Finish(const Token& last) {
    if (!complete_) {
      source_.FailAfter(last, state_ == State::kModifier ? "missing modifier" : "missing operand");
    }
    return std::move(operands_);
  }

 private:
  enum class State { kModeOrModifier, kModifier, kModeA, kValueA, kModeB, kValueB };

  void TakeMode(const Token& t) {
    const bool b_side = state_ == State::kModeB;
    complete_ = false;
    if (IsModeSymbol(t.kind)) {
      (b_side ? operands_.b_mode : operands_.a_mode) = ModeIndex(t.kind);
      state_ = b_side ? State::kValueB : State::kValueA;
      return;
    }
    if (IsExpressionToken(t.kind)) {
      state_ = b_side ? State::kValueB : State::kValueA;
      (b_side ? operands_.b : operands_.a).push_back(t);
      complete_ = true;
      return;
    }
    source_.Fail(t, std::string(b_side ? "expected the B-operand" : "expected an operand") +
                        ", not " + Describe(t));
  }

  void TakeModifier(const Token& t) {
    if (t.kind == TokenKind::kIdentifier) {
      const std::string upper = UpperCase(std::string(t.text));
      for (std::size_t m = 0; m < kModifierNames.size(); ++m) {
        if (kModifierNames[m] == upper) operands_.modifier = static_cast<int>(m);
      }
    }
    if (operands_.modifier < 0) {
      source_.Fail(t, "expected a modifier (A, B, AB, BA, F, X or I), not " + Describe(t));
    }
    state_ = State::kModeA;
    complete_ = false;
  }

  void TakeValue(const Token& t) {
    if (state_ == State::kValueA && t.kind == TokenKind::kComma) {
      if (operands_.a.empty()) source_.Fail(t, "missing value of the A-operand");
      state_ = State::kModeB;
      operands_.has_b = true;
      complete_ = false;
      return;
    }
    if (!IsOperatorInExpression(t.kind)) {
      source_.Fail(t, Describe(t) + " cannot stand in an expression");
    }
    (state_ == State::kValueB ? operands_.b : operands_.a).push_back(t);
    complete_ = true;
  }

  const SourceText& source_;
  State state_ = State::kModeOrModifier;
  bool complete_ = false;  // the operands read so far could end here
  Operands operands_;
};

class Encoder {
 public:
  Encoder(SymbolTable& symbols, Registers& registers, const SourceText& source)
      : symbols_(symbols), registers_(registers), source_(source) {}

  void Run(const std::vector<Statement>& statements, AssembledWarrior& warrior) {
    const Token* start_at = nullptr;
    int start = 0;
    for (const Statement& statement : statements) {
      const int index = static_cast<int>(warrior.instructions.size());
      if (statement.operation < kOrg) {
        warrior.instructions.push_back(Instruction(statement, index));
        continue;
      }
      const std::int64_t value = PseudoValue(statement, index);
      if (statement.operation == kOrg) {
        start = FoldToCore(value);
        start_at = &statement.keyword;
      } else if (statement.operation == kEnd) {
        // END's operand counts only when no ORG chose a start other than 0.
        if (value != 0 && start == 0) {
          start = FoldToCore(value);
          start_at = &statement.keyword;
        }
      } else {
        warrior.pin = value;
      }
    }
    if (warrior.instructions.empty()) source_.FailFile("no instructions");
    if (start >= static_cast<int>(warrior.instructions.size())) {
      source_.Fail(*start_at, "the start " + std::to_string(start) + " lies outside the " +
                                  std::to_string(warrior.instructions.size()) + " instructions");
    }
    warrior.start = start;
  }

 private:
  // The token as the operand sees it: a label becomes its distance from
  // `index` (or its index, when `absolute`); an EQU text is opened, and then
  // nullptr is returned.
  const Token* Resolve(const Token& written, TokenStream& stream, int index, bool absolute) {
    if (written.kind != TokenKind::kIdentifier) return &written;
    const auto it = symbols_.find(written.text);
    if (it == symbols_.end()) {
      if (!IsRegisterName(written.text))
        source_.Fail(written, "undefined symbol " + Describe(written));
      return &written;
    }
    Symbol& symbol = it->second;
    if (symbol.kind == Symbol::Kind::kText) {
      if (symbol.text->expanding)
        source_.Fail(written, "EQU " + Describe(written) + " refers to itself");
      if (!stream.Open(*symbol.text)) source_.Fail(written, "EQU texts nested too deeply");
      return nullptr;
    }
    std::int64_t value = symbol.value;
    if (symbol.kind == Symbol::Kind::kLabel && !absolute) value -= index;
    resolved_ = written;
    resolved_.kind = TokenKind::kNumber;
    resolved_.keyword = -1;
    resolved_.has_value = true;
    resolved_.value = value;
    return &resolved_;
  }

  AssembledInstruction Instruction(const Statement& statement, int index) {
    OperandReader reader(source_);
    const Token* last = &statement.keyword;
    TokenStream stream(statement.operands);
    while (const Token* written = stream.Next()) {
      last = written;
      const Token* resolved =
          reader.ExpectsModifier() ? written : Resolve(*written, stream, index, false);
      if (resolved != nullptr) reader.Take(*resolved);
    }
    Operands operands = reader.Finish(*last);
    if (!operands.has_b) CompleteOneOperand(statement, operands);
    const int opcode = statement.operation;
    AssembledInstruction instruction;
    instruction.opcode = static_cast<std::uint8_t>(opcode);
    instruction.modifier = static_cast<std::uint8_t>(
        operands.modifier >= 0 ? operands.modifier
                               : DefaultModifier(opcode, operands.a_mode, operands.b_mode));
    instruction.a_mode = static_cast<std::uint8_t>(operands.a_mode);
    instruction.b_mode = static_cast<std::uint8_t>(operands.b_mode);
    instruction.a_value = FieldValue(operands.a, statement.keyword);
    instruction.b_value = FieldValue(operands.b, statement.keyword);
    return instruction;
  }

  // DAT x is DAT #0, x; JMP, SPL and NOP get $0 as B-operand; any other
  // operation written with one operand is an error.
  void CompleteOneOperand(const Statement& statement, Operands& operands) const {
    const int opcode = statement.operation;
    if (opcode == kDat) {
      operands.b_mode = operands.a_mode;
      operands.b = std::move(operands.a);
      operands.a_mode = kImmediate;
      operands.a = {ZeroAt(statement.keyword)};
    } else if (opcode == kJmp || opcode == kSpl || opcode == kNop) {
      operands.b_mode = kDirect;
      operands.b = {ZeroAt(statement.keyword)};
    } else {
      source_.Fail(statement.keyword, std::string(kOpcodeNames[static_cast<std::size_t>(opcode)]) +
                                          " needs two operands");
    }
  }

  int FieldValue(const std::vector<Token>& expression, const Token& keyword) {
    return FoldToCore(EvaluateExpression(expression, registers_, source_, keyword));
  }

  std::int64_t PseudoValue(const Statement& statement, int index) {
    std::vector<Token> value;
    TokenStream stream(statement.operands);
    while (const Token* written = stream.Next()) {
      const Token* resolved = Resolve(*written, stream, index, true);
      if (resolved == nullptr) continue;
      const Token& t = *resolved;
      if (!IsOperatorInExpression(t.kind)) {
        source_.Fail(
            t, Describe(t) + " cannot stand in the operand of " + Describe(statement.keyword));
      }
      value.push_back(t);
    }
    if (value.empty()) return 0;
    return EvaluateExpression(value, registers_, source_, statement.keyword);
  }

  static Token ZeroAt(const Token& at) {
    Token zero;
    zero.kind = TokenKind::kNumber;
    zero.line = at.line;
    zero.column = at.column;
    zero.text = "0";
    zero.has_value = true;
    zero.value = 0;
    return zero;
  }

  SymbolTable& symbols_;
  Registers& registers_;
  const SourceText& source_;
  Token resolved_;  // the last label put in place
};

}  // namespace

void EncodeStatements(const std::vector<Statement>& statements, SymbolTable& symbols,
                      Registers& registers, const SourceText& source, AssembledWarrior& warrior) {
  Encoder(symbols, registers, source).Run(statements, warrior);
}

}  // namespace tw::redcode
