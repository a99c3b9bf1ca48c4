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
      CountLine(lines[i]);
      if (lines[i].is_assert) {
        if (skipping_ == 0) CheckAssertion(lines[i]);
        continue;
      }
      Statement statement;
      LineCursor cursor{lines, i};
      const Found found = Read(lines[i].tokens, cursor, statement, Found::kNothing);
      if (found == Found::kStatement) Emit(std::move(statement));
      if (found == Found::kRof) source_.Fail(lines[i].tokens.front(), "ROF without FOR");
      i = cursor.index;
    }
    return std::move(statements_);
  }

 private:
  // Reads tokens as part of one line, `found` telling what came before them.
  Found Read(Tokens tokens, LineCursor& cursor, Statement& out, Found found) {
    std::size_t i = 0;
    while (i < tokens.size()) {
      const Token& t = tokens[i];
      if (t.kind != TokenKind::kIdentifier) {
        if (skipping_ > 0) return Found::kNothing;
        if (AtLineStart(found))
          source_.Fail(t, "expected a label or an operation, not " + Describe(t));
        Append(out, t);
        ++i;
        continue;
      }
      if (t.keyword == kKeywordRof) {
        if (skipping_ > 0) {
          --skipping_;
          return Found::kDropped;
        }
        if (AtLineStart(found)) return Found::kRof;
        source_.Fail(t, "ROF must stand at the start of a line");
      }
      if (t.keyword == kKeywordFor) {
        if (skipping_ > 0) {
          ++skipping_;
          return Found::kDropped;
        }
        if (AtLineStart(found)) return ForBlock(tokens.subspan(i + 1), t, cursor);
        source_.Fail(t, "FOR must stand at the start of a line (after its labels)");
      }
      if (t.text == "CURLINE") {
        if (skipping_ > 0) return Found::kNothing;
        if (AtLineStart(found)) source_.Fail(t, "CURLINE cannot be a label");
        Append(out, NumberToken(line_, t));
        ++i;
        continue;
      }
      if (t.keyword == kKeywordEqu) {
        if (skipping_ > 0) return Found::kNothing;
        if (AtLineStart(found)) return DefineEqu(tokens.subspan(i + 1), t, cursor);
        source_.Fail(t, "EQU must follow the name it defines");
      }
      const int operation = t.keyword;
      if (operation >= 0 && operation <= kPin) {
        if (skipping_ > 0) return Found::kNothing;
        if (AtLineStart(found))
          return BeginStatement(operation, t, tokens.subspan(i + 1), cursor, out);
        source_.Fail(t, "the operation " + Describe(t) + " cannot stand here");
      }
      if (skipping_ > 0) {
        ++i;
        found = Found::kNothing;
        continue;
      }
      // A name, perhaps joined to FOR counters with "&".
      std::string_view name = t.text;
      std::string joined;
      std::size_t next = i + 1;
      while (next + 1 < tokens.size() && tokens[next].kind == TokenKind::kAmpersand &&
             tokens[next].joined && tokens[next + 1].kind == TokenKind::kIdentifier &&
             tokens[next + 1].joined && IsAlpha(tokens[next + 1].text[0])) {
        const auto counter = symbols_.find(tokens[next + 1].text);
        if (counter == symbols_.end() || counter->second.kind != Symbol::Kind::kCounter) {
          source_.Fail(tokens[next + 1],
                       "only a FOR counter can follow \"&\", not " + Describe(tokens[next + 1]));
        }
        if (joined.empty()) joined = std::string(t.text);
        joined += TwoDigits(counter->second.value);
        next += 2;
      }
      if (!joined.empty()) name = names_.emplace_back(std::move(joined));
      const auto found_symbol = symbols_.find(name);
      if (found_symbol != symbols_.end()) {
        Symbol& symbol = found_symbol->second;
        if (symbol.kind == Symbol::Kind::kText) {
          if (symbol.text->expanding) source_.Fail(t, "EQU " + Describe(t) + " refers to itself");
          return PutTextInPlace(symbol, t, tokens.subspan(next), cursor, out, found);
        }
        if (AtLineStart(found)) {
          source_.Fail(t, "label \"" + std::string(name) + "\" is already defined");
        }
        std::int64_t value = symbol.value;
        if (symbol.kind == Symbol::Kind::kLabel && found != Found::kPseudoValue) value -= line_;
        Append(out, NumberToken(value, t));
        i = next;
        continue;
      }
      if (AtLineStart(found)) {
        if (pendingLabels_.size() >= 7) source_.Fail(t, "more than 7 labels on one instruction");
        pendingLabels_.emplace_back(name);
        if (next < tokens.size() && tokens[next].kind == TokenKind::kColon && tokens[next].joined) {
          ++next;
        }
        found = Found::kLabel;
        i = next;
        continue;
      }
      Token word = t;
      word.text = name;
      Append(out, word);
      i = next;
    }
    return found;
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
      std::size_t k = first;
      while (!stopped_) {
        if (k + 1 >= cursor.lines.size()) source_.Fail(keyword, "FOR without ROF");
        ++k;
        const TokenLine& body = cursor.lines[k];
        CountLine(body);
        if (body.is_assert) {
          if (skipping_ == 0) CheckAssertion(body);
          continue;
        }
        Statement statement;
        LineCursor inner{cursor.lines, k};
        const Found found = Read(body.tokens, inner, statement, Found::kNothing);
        k = inner.index;
        if (found == Found::kRof) break;
        if (found == Found::kStatement) Emit(std::move(statement));
      }
      last = k;
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
