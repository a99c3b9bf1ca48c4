#include "asm/Assembler.h"

#include "asm/Encoder.h"
#include "asm/SourceError.h"
#include "asm/SourceText.h"
#include "asm/Symbols.h"
#include "runtime/Exceptions.h"
#include "runtime/FileRead.h"

namespace tw::redcode {

namespace {

constexpr std::size_t kMaxSourceBytes = 1 << 20;

std::string Trimmed(const std::string& text) {
  const char* blanks = " \t\v\f\r";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

void AddConstant(SymbolTable& symbols, NameStore& names, const std::string& name,
                 std::int64_t value) {
  auto text = std::make_shared<EquText>();
  Token number;
  number.kind = TokenKind::kNumber;
  number.text = names.emplace_back(name);
  number.has_value = true;
  number.value = value;
  text->lines.push_back(TokenLine{0, 0, false, {number}});
  symbols[name] = Symbol{Symbol::Kind::kText, 0, text};
}

}  // namespace

AssembledWarrior AssembleSource(std::string_view bytes, const std::string& file_name,
                                const AssemblerOptions& options) {
  const SourceText source(file_name, bytes);
  const PreparedSource prepared = PrepareSource(source);

  std::map<std::string, std::int64_t> constants = DefaultConstants();
  for (const auto& [name, value] : options.constants) constants[name] = value;
  SymbolTable symbols;
  NameStore names;
  for (const auto& [name, value] : constants) AddConstant(symbols, names, name, value);

  ExpansionLimits limits;
  limits.max_instructions = constants["MAXLENGTH"];
  Registers registers{};
  const std::vector<Statement> statements =
      ExpandSource(prepared.lines, source, symbols, registers, limits, names);

  AssembledWarrior warrior;
  warrior.name = Trimmed(prepared.name);
  warrior.author = Trimmed(prepared.author);
  EncodeStatements(statements, symbols, registers, source, warrior);
  return warrior;
}

std::string ReadSourceFile(const std::string& file_name) {
  std::string bytes;
  ReadFilePieces(file_name, [&](std::string_view piece) {
    bytes.append(piece);
    if (bytes.size() > kMaxSourceBytes) {
      throw ERedcodeSourceError(file_name, 0, 0, "larger than 1 MiB; not a Redcode source", "");
    }
    return true;
  });
  return bytes;
}

AssembledWarrior AssembleFile(const std::string& file_name, const AssemblerOptions& options) {
  return AssembleSource(ReadSourceFile(file_name), file_name, options);
}

}  // namespace tw::redcode
