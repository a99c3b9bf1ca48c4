#include "asm/Expander.h"

#include <cstdio>
#include <span>

#include "asm/Warrior.h"

namespace tw::redcode {

std::string UpperCase(const std::string& text) {
  std::string upper = text;
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

namespace {

using Tokens = std::span<const Token>;

// What the reading of (part of) a line found. The order matters: everything
// up to kLabel is "still where a label may stand".
enum class Found : int {
  kDropped = -1,     // nothing to emit (a ROF or FOR seen while skipping)
  kNothing = 0,      // start of a line
  kLabel = 1,        // labels only so far
  kValue = 2,        // inside an instruction's operands (or an expression)
  kStatement = 3,    // a whole instruction or pseudo-operation
  kPseudoValue = 4,  // inside the operand of ORG, END or PIN
  kFor = 5,          // a FOR block was handled
  kRof = 6,          // the line is a ROF
};

bool AtLineStart(Found f) { return static_cast<int>(f) <= static_cast<int>(Found::kLabel); }

// Where the lines of the list being read are, so FOR and EQU can take the
// lines that follow theirs.
struct LineCursor {
  const std::vector<TokenLine>& lines;
  std::size_t index;
};

// How reading goes on after one token: at `next`, with `found` telling what
// came before; or, when `done`, the rest of the line was read with it and
// `found` is what the whole reading found.
struct Step {
  std::size_t next = 0;
  Found found = Found::kNothing;
  bool done = false;
};

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string TwoDigits(std::int64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%02lld", static_cast<long long>(value));
  return text;
}

class Expander {
 public:
  Expander(const SourceText& source, SymbolTable& symbols, Registers& registers,
           const ExpansionLimits& limits, NameStore& names)
      : source_(source), symbols_(symbols), registers_(registers), limits_(limits), names_(names) {}

  std::vector<Statement> Run(const std::vector<TokenLine>& lines) {
    for (std::size_t i = 0; i < lines.size() && !stopped_; ++i) {
      LineCursor cursor{lines, i};
      if (ReadLine(cursor) == Found::kRof) {
        source_.Fail(lines[i].tokens.front(), "ROF without FOR");
      }
      i = cursor.index;
    }
    return std::move(statements_);
  }

 private:
  // Reads the line at the cursor (and the lines a FOR or EQU on it takes,
  // leaving the cursor on the last of them) and emits what it makes.
  Found ReadLine(LineCursor& cursor) {
    const TokenLine& line = cursor.lines[cursor.index];
    CountLine(line);
    if (line.is_assert) {
      if (skipping_ == 0) CheckAssertion(line);
      return Found::kNothing;
    }
    Statement statement;
    const Found found = Read(line.tokens, cursor, statement, Found::kNothing);
    if (found == Found::kStatement) Emit(std::move(statement));
    return found;
  }

  // Reads tokens as part of one line, `found` telling what came before them.
  Found Read(Tokens tokens, LineCursor& cursor, Statement& out, Found found) {
    if (skipping_ > 0) return Skip(tokens, found);
    std::size_t i = 0;
    while (i < tokens.size()) {
      const Step step = ReadToken(tokens, i, cursor, out, found);
      if (step.done) return step.found;
      i = step.next;
      found = step.found;
    }
    return found;
  }

  Step ReadToken(Tokens tokens, std::size_t i, LineCursor& cursor, Statement& out, Found found) {
    const Token& t = tokens[i];
    if (t.kind != TokenKind::kIdentifier) {
      if (AtLineStart(found))
        source_.Fail(t, "expected a label or an operation, not " + Describe(t));
      Append(out, t);
      return {i + 1, found};
    }
    if (t.keyword >= 0) return {0, ReadKeyword(t, tokens.subspan(i + 1), cursor, out, found), true};
    if (t.text == "CURLINE") {
      if (AtLineStart(found)) source_.Fail(t, "CURLINE cannot be a label");
      Append(out, NumberToken(line_, t));
      return {i + 1, found};
    }
    return ReadName(tokens, i, cursor, out, found);
  }

  // The lines of a FOR block with a count of 0 or less are not read: only
  // the FOR and ROF in them are counted, to find the block's end.
  Found Skip(Tokens tokens, Found found) {
    for (const Token& t : tokens) {
      if (t.kind != TokenKind::kIdentifier) return Found::kNothing;
      if (t.keyword == kKeywordRof) {
        --skipping_;
        return Found::kDropped;
      }
      if (t.keyword == kKeywordFor) {
        ++skipping_;
        return Found::kDropped;
      }
      if (t.keyword >= 0 || t.text == "CURLINE") return Found::kNothing;
    }
    return tokens.empty() ? found : Found::kNothing;
  }

  // ROF, FOR, EQU or an operation; what follows `keyword` is read with it.
  Found ReadKeyword(const Token& keyword, Tokens rest, LineCursor& cursor, Statement& out,
                    Found found) {
    const bool line_start = AtLineStart(found);
    switch (keyword.keyword) {
      case kKeywordRof:
        if (line_start) return Found::kRof;
        source_.Fail(keyword, "ROF must stand at the start of a line");
      case kKeywordFor:
        if (line_start) return ForBlock(rest, keyword, cursor);
        source_.Fail(keyword, "FOR must stand at the start of a line (after its labels)");
      case kKeywordEqu:
        if (line_start) return DefineEqu(rest, keyword, cursor);
        source_.Fail(keyword, "EQU must follow the name it defines");
      default:
        if (line_start) return BeginStatement(keyword.keyword, keyword, rest, cursor, out);
        source_.Fail(keyword, "the operation " + Describe(keyword) + " cannot stand here");
    }
  }

  // A name (perhaps joined to FOR counters with "&"): a symbol's value or
  // text, a new label, or a word left for the second pass.
  Step ReadName(Tokens tokens, std::size_t i, LineCursor& cursor, Statement& out, Found found) {
    const Token& t = tokens[i];
    std::size_t next = i + 1;
    const std::string_view name = JoinCounters(tokens, next);
    const auto found_symbol = symbols_.find(name);
    if (found_symbol == symbols_.end()) {
      if (AtLineStart(found)) return {DefineLabelLater(name, t, tokens, next), Found::kLabel};
      Token word = t;
      word.text = name;
      Append(out, word);
      return {next, found};
    }
    Symbol& symbol = found_symbol->second;
    if (symbol.kind == Symbol::Kind::kText) {
      if (symbol.text->expanding) source_.Fail(t, "EQU " + Describe(t) + " refers to itself");
      return {0, PutTextInPlace(symbol, t, tokens.subspan(next), cursor, out, found), true};
    }
    if (AtLineStart(found))
      source_.Fail(t, "label \"" + std::string(name) + "\" is already defined");
    if (symbol.kind == Symbol::Kind::kCounter && WrittenAfterDigits(tokens, i, out)) {
      ContinueNumber(out.operands.back(), TwoDigits(symbol.value));
      return {next, found};
    }
    std::int64_t value = symbol.value;
    if (symbol.kind == Symbol::Kind::kLabel && found != Found::kPseudoValue) value -= line_;
    Append(out, NumberToken(value, t));
    return {next, found};
  }

  // True when tokens[i] touches the digits written before it ("666z"), which
  // are then the last operand token so far.
  static bool WrittenAfterDigits(Tokens tokens, std::size_t i, const Statement& out) {
    return i > 0 && tokens[i].joined && tokens[i - 1].kind == TokenKind::kNumber &&
           !out.operands.empty() && out.operands.back().kind == TokenKind::kNumber &&
           !out.operands.back().has_value;
  }

  // The reference assembler puts a FOR counter in place as text, so digits
  // written right before it and its two or more digits read as one number:
  // "666z" with z at 14 is 66614, at 1 it is 66601.
  void ContinueNumber(Token& number, const std::string& digits) {
    number.text = names_.emplace_back(std::string(number.text) + digits);
  }

  // The name at tokens[next - 1] with the values of the FOR counters joined
  // to it by "&"; `next` moves past them.
  std::string_view JoinCounters(Tokens tokens, std::size_t& next) {
    const Token& first = tokens[next - 1];
    std::string joined;
    while (next + 1 < tokens.size() && tokens[next].kind == TokenKind::kAmpersand &&
           tokens[next].joined && tokens[next + 1].kind == TokenKind::kIdentifier &&
           tokens[next + 1].joined && IsAlpha(tokens[next + 1].text[0])) {
      const auto counter = symbols_.find(tokens[next + 1].text);
      if (counter == symbols_.end() || counter->second.kind != Symbol::Kind::kCounter) {
        source_.Fail(tokens[next + 1],
                     "only a FOR counter can follow \"&\", not " + Describe(tokens[next + 1]));
      }
      if (joined.empty()) joined = std::string(first.text);
      joined += TwoDigits(counter->second.value);
      next += 2;
    }
    if (joined.empty()) return first.text;
    return names_.emplace_back(std::move(joined));
  }

  // Keeps `name` for the instruction (or FOR) that the labels of this line
  // stand before; a ":" right after it belongs to it. Returns where the line
  // goes on.
  std::size_t DefineLabelLater(std::string_view name, const Token& at, Tokens tokens,
                               std::size_t next) {
    if (pendingLabels_.size() >= 7) source_.Fail(at, "more than 7 labels on one instruction");
    pendingLabels_.emplace_back(name);
    if (next < tokens.size() && tokens[next].kind == TokenKind::kColon && tokens[next].joined) {
      ++next;
    }
    return next;
  }

  Found BeginStatement(int operation, const Token& keyword, Tokens rest, LineCursor& cursor,
                       Statement& out) {
    out.operation = operation;
    out.keyword = keyword;
    out.operands.reserve(rest.size() + 4);
    // The modifier is taken as written, never as a name to put in place.
    if (rest.size() >= 2 && rest[0].kind == TokenKind::kDot &&
        rest[1].kind == TokenKind::kIdentifier) {
      Append(out, rest[0]);
      Append(out, rest[1]);
      rest = rest.subspan(2);
    }
    const bool instruction = operation < kOrg;
    const Found found = Read(rest, cursor, out, instruction ? Found::kValue : Found::kPseudoValue);
    if (found == Found::kDropped) return found;
    DefinePendingLabels(line_);
    if (instruction) {
      ++line_;
      if (line_ > limits_.max_instructions) {
        source_.Fail(keyword, "more than MAXLENGTH (" + std::to_string(limits_.max_instructions) +
                                  ") instructions");
      }
    } else if (operation == kEnd) {
      stopped_ = true;
    }
    return Found::kStatement;
  }

  Found ForBlock(Tokens rest, const Token& keyword, LineCursor& cursor) {
    std::string counter_name;
    if (!pendingLabels_.empty()) {
      counter_name = pendingLabels_.back();
      pendingLabels_.pop_back();
      DefinePendingLabels(line_);
    }
    Statement count_tokens;
    Read(rest, cursor, count_tokens, Found::kValue);
    const std::int64_t count =
        EvaluateExpression(count_tokens.operands, registers_, source_, keyword);
    if (count <= 0) {
      ++skipping_;
      return Found::kFor;
    }
    if (count > limits_.max_for_count) {
      source_.Fail(keyword, "FOR count " + std::to_string(count) + " is larger than " +
                                std::to_string(limits_.max_for_count));
    }
    Nest(keyword);
    if (!counter_name.empty()) {
      symbols_[counter_name] = Symbol{Symbol::Kind::kCounter, 0, nullptr};
    }
    const std::size_t first = cursor.index;
    std::size_t last = first;
    for (std::int64_t n = 1; n <= count && !stopped_; ++n) {
      if (!counter_name.empty()) symbols_[counter_name].value = n;
      LineCursor body{cursor.lines, first};
      while (!stopped_) {
        if (body.index + 1 >= cursor.lines.size()) source_.Fail(keyword, "FOR without ROF");
        ++body.index;
        if (ReadLine(body) == Found::kRof) break;
      }
      last = body.index;
    }
    if (!counter_name.empty()) symbols_.erase(counter_name);
    --nesting_;
    cursor.index = last;
    return Found::kFor;
  }

  Found DefineEqu(Tokens rest, const Token& keyword, LineCursor& cursor) {
    if (pendingLabels_.empty()) source_.Fail(keyword, "EQU without a name before it");
    auto text = std::make_shared<EquText>();
    text->lines.push_back(
        TokenLine{keyword.line, keyword.column, false, {rest.begin(), rest.end()}});
    CountTokens(rest.size(), keyword);
    // Lines that begin with EQU continue the text; assertions between them
    // are checked on the way.
    while (cursor.index + 1 < cursor.lines.size()) {
      const TokenLine& next = cursor.lines[cursor.index + 1];
      if (next.is_assert) {
        ++cursor.index;
        CheckAssertion(next);
        continue;
      }
      if (next.tokens.empty() || next.tokens[0].keyword != kKeywordEqu) {
        break;
      }
      ++cursor.index;
      CountLine(next);
      text->lines.push_back(
          TokenLine{next.line, next.column, false, {next.tokens.begin() + 1, next.tokens.end()}});
      CountTokens(next.tokens.size(), next.tokens[0]);
    }
    for (const std::string& name : pendingLabels_) {
      symbols_[name] = Symbol{Symbol::Kind::kText, 0, text};
    }
    pendingLabels_.clear();
    return Found::kValue;
  }

  // Puts an EQU's text where its name stood: its first line continues the
  // current one, further lines become lines of their own, and what followed
  // the name continues the last.
  Found PutTextInPlace(Symbol& symbol, const Token& name, Tokens rest, LineCursor& cursor,
                       Statement& out, Found found) {
    Nest(name);
    const std::shared_ptr<EquText> text = symbol.text;
    text->expanding = true;
    LineCursor inner{text->lines, 0};
    found = Read(text->lines[0].tokens, inner, out, found);
    while (inner.index + 1 < text->lines.size() && !stopped_) {
      if (skipping_ == 0 && (found == Found::kStatement || found == Found::kValue)) {
        Emit(std::move(out));
      }
      out = Statement{};
      ++inner.index;
      CountLine(text->lines[inner.index]);
      found = Read(text->lines[inner.index].tokens, inner, out, Found::kNothing);
    }
    text->expanding = false;
    --nesting_;
    return Read(rest, cursor, out, found);
  }

  void CheckAssertion(const TokenLine& line) {
    Statement condition;
    std::vector<TokenLine> alone;
    LineCursor cursor{alone, 0};
    Read(line.tokens, cursor, condition, Found::kValue);
    Token where;
    where.line = line.line;
    where.column = line.column;
    where.text = ";assert";
    if (EvaluateExpression(condition.operands, registers_, source_, where) == 0) {
      source_.FailAt(line.line, line.column, "assertion failed");
    }
  }

  void DefinePendingLabels(std::int64_t value) {
    for (const std::string& name : pendingLabels_) {
      symbols_[name] = Symbol{Symbol::Kind::kLabel, value, nullptr};
    }
    pendingLabels_.clear();
  }

  void Emit(Statement statement) {
    if (statement.operation >= 0) statements_.push_back(std::move(statement));
  }

  void Append(Statement& out, const Token& token) {
    CountTokens(1, token);
    out.operands.push_back(token);
  }

  Token NumberToken(std::int64_t value, const Token& at) {
    Token number = at;
    number.kind = TokenKind::kNumber;
    number.keyword = -1;
    number.has_value = true;
    number.value = value;
    return number;
  }

  void Nest(const Token& at) {
    if (++nesting_ > limits_.max_nesting) {
      source_.Fail(at, "EQU and FOR nested deeper than " + std::to_string(limits_.max_nesting));
    }
  }

  void CountLine(const TokenLine& line) {
    if (++linesRead_ > limits_.max_lines) {
      source_.FailAt(line.line, line.column,
                     "expansion reads more than " + std::to_string(limits_.max_lines) + " lines");
    }
  }

  void CountTokens(std::size_t n, const Token& at) {
    tokensMade_ += static_cast<std::int64_t>(n);
    if (tokensMade_ > limits_.max_tokens) {
      source_.Fail(at,
                   "expansion makes more than " + std::to_string(limits_.max_tokens) + " tokens");
    }
  }

  const SourceText& source_;
  SymbolTable& symbols_;
  Registers& registers_;
  const ExpansionLimits& limits_;
  NameStore& names_;
  std::vector<Statement> statements_;
  std::vector<std::string> pendingLabels_;
  std::int64_t line_ = 0;  // instructions so far
  int skipping_ = 0;       // depth of FOR blocks with a count of 0 or less
  int nesting_ = 0;
  bool stopped_ = false;  // END seen
  std::int64_t linesRead_ = 0;
  std::int64_t tokensMade_ = 0;
};

}  // namespace

std::vector<Statement> ExpandSource(const std::vector<TokenLine>& lines, const SourceText& source,
                                    SymbolTable& symbols, Registers& registers,
                                    const ExpansionLimits& limits, NameStore& names) {
  return Expander(source, symbols, registers, limits, names).Run(lines);
}

}  // namespace tw::redcode
